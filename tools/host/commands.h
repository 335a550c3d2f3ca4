// The subcommands of veldran-host that load the module or read its codes:
// each one's options, the function that adds it to the program's command
// line and the one that runs it once the line is parsed.  The bring-up
// subcommands (identify with addresses, configure, send, term) are in
// bringup.h; what the subcommands share is in cmd_common.h.
#ifndef TOOLS_HOST_COMMANDS_H
#define TOOLS_HOST_COMMANDS_H

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "bringup.h"
#include "cmd_common.h"
#include "exit_status.h"
#include "monitor_decode.h"
#include "scan.h"
#include "survey.h"

namespace vhost {

// list (cmd_list.cpp)
CLI::App *addListCommand(CLI::App &app);
Exit runList(const ModuleArgs &mod);

// run (cmd_run.cpp)
struct RunArgs {
    std::string ladder;
    std::string options;
    const CLI::Option *optionsGiven = nullptr; // -o: without it, Init has no option string
    int32_t mode = 2;
    bool topdoc = false;
    RunOptions scan;
    const CLI::Option *scansGiven = nullptr;
    double durationS = 0;
    bool live = false;
    bool failOnError = false;
    std::string logPath, tracePath, capturePath;

    const std::string *optionString() const { return optionsGiven->count() ? &options : nullptr; }
};
CLI::App *addRunCommand(CLI::App &app, RunArgs &a);
Exit runLadder(const ModuleArgs &mod, const RunArgs &a);

// plot (cmd_plot.cpp)
struct PlotArgs {
    std::string log, image;
};
CLI::App *addPlotCommand(CLI::App &app, PlotArgs &a);
Exit runPlot(const PlotArgs &a);

// explain (cmd_explain.cpp)
struct ExplainArgs {
    std::string code;
};
CLI::App *addExplainCommand(CLI::App &app, ExplainArgs &a);
Exit runExplain(const ExplainArgs &a);

// check (cmd_check.cpp)
struct CheckArgs {
    std::string ladder, options, plant;
    const CLI::Option *optionsGiven = nullptr; // -o: without it, no option string
};
CLI::App *addCheckCommand(CLI::App &app, CheckArgs &a);
Exit runCheckCommand(const ModuleArgs &mod, const CheckArgs &a);

// survey, and identify of what a survey finds (cmd_survey.cpp)
struct SurveyArgs {
    SurveyOptions survey;
    std::string checksum;    // "off", "on" or "" (both)
    std::string writePlant;  // the bench twin's plant file ("": none)
    std::string capturePath; // --capture ("": none)
};
CLI::App *addSurveyCommand(CLI::App &app, SurveyArgs &a);
// The survey through the module, which is unloaded again after it so that
// the line is free; with `report` its table, recommendation and notes on
// stdout.  EXIT_NO_ANSWER when nothing answered (garbled replies aside).
Exit surveyThroughModule(const ModuleArgs &mod, const SurveyOptions &opt, std::vector<SurveyFind> &found,
                         std::vector<SurveyGarbled> &garbled, bool report);
Exit runSurveyCommand(const ModuleArgs &mod, const SurveyArgs &a);
// identify (added by bringup.h's addIdentifyCommand): the addresses given,
// or without any a survey first, then each module it found.
Exit runIdentifyCommand(const ModuleArgs &mod, const IdentifyArgs &a);

// monitor (cmd_monitor.cpp): a listener on the line, or a capture replayed.
struct MonitorArgs {
    std::string port;             // the device or COMn ("": --replay)
    std::string replay;           // the capture ("": listen)
    std::string checksum = "off"; // "off", "on" or "auto"
    std::string baud = "9600";    // a line speed or "auto"
    std::string logPath;          // the CSV log ("": none)
    std::string capturePath;      // what it heard, as a capture ("": none)
    std::string writePlant;       // the bench from what the line did ("": none)
    bool live = false;            // one screen redrawn in place
    monitor::Settings settings;
};
CLI::App *addMonitorCommand(CLI::App &app, MonitorArgs &a);
Exit runMonitor(MonitorArgs &a);

// commission (cmd_commission.cpp): the line brought to its design.
struct CommissionArgs {
    std::string design;
    int port = 1;
    int from = 0, to = 255; // the addresses surveyed
    int timeoutMs = 200;    // of the line client's replies
    bool yes = false;       // no waiting for Enter
    bool check = false;     // only the closing check
    std::string record;     // the as-built record ("": beside the design)
    std::string stepHook;   // run for each bench step ("": none)
};
CLI::App *addCommissionCommand(CLI::App &app, CommissionArgs &a);
Exit runCommission(const ModuleArgs &mod, const CommissionArgs &a);

// loopcheck (cmd_loopcheck.cpp): a design's points checked on its line.
struct LoopcheckArgs {
    std::string design, results, engineer, script;
    int port = 1;
    int timeoutMs = 0;             // the module's TIMEOUT= (0: from the design)
    std::vector<std::string> tags; // only these points ("": all)
};
CLI::App *addLoopcheckCommand(CLI::App &app, LoopcheckArgs &a);
Exit runLoopcheck(const ModuleArgs &mod, LoopcheckArgs a);

// report (cmd_report.cpp): the as-built and loop-check report of a design.
struct ReportArgs {
    std::string design, asBuilt, loopcheck, engineer, output;
};
CLI::App *addReportCommand(CLI::App &app, ReportArgs &a);
Exit runReport(const ModuleArgs &mod, const ReportArgs &a);

} // namespace vhost

#endif
