// veldran-host: the reference host.  Loads the module, lists its
// instruction table or scans a ladder program against it, and helps
// commission a line.  This file builds the command line from the
// subcommands (commands.h, bringup.h) and runs the one given.
#include <cstdio>
#include <exception>
#include <functional>
#include <utility>

#include <CLI/CLI.hpp>

#include "bringup.h"
#include "commands.h"
#include "exit_status.h"
#include "veldran_version.h"

int hostMain(int argc, char **argv)
{
    using namespace vhost;
    CLI::App app{"veldran-host: loads the veldran module, lists its instructions, scans a ladder program, and helps "
                 "commission a line (explain, check, survey)"};
    app.set_version_flag("--version", "veldran-host " VELDRAN_VERSION);
    app.require_subcommand(1);
    // A path given the Unix way under wine (/tmp/x/ladder.toml) is a path,
    // not a Windows-style option; the subcommands inherit this.
    app.allow_windows_style_options(false);
    // Which module: before the subcommand, or after one that loads it.
    ModuleArgs module;
    addModuleOptions(app, module);

    RunArgs runArgs;
    PlotArgs plotArgs;
    ExplainArgs explainArgs;
    CheckArgs checkArgs;
    SurveyArgs surveyArgs;
    IdentifyArgs identifyArgs;
    ConfigureArgs configureArgs;
    RawArgs sendArgs, termArgs;
    MonitorArgs monitorArgs;
    CommissionArgs commissionArgs;
    LoopcheckArgs loopcheckArgs;
    ReportArgs reportArgs;
    // Each subcommand, added in the order --help lists them, and what runs
    // it once the command line is parsed.
    const std::pair<const CLI::App *, std::function<Exit()>> commands[] = {
        {withModuleOptions(addListCommand(app), module), [&] { return runList(module); }},
        {withModuleOptions(addRunCommand(app, runArgs), module), [&] { return runLadder(module, runArgs); }},
        {addPlotCommand(app, plotArgs), [&] { return runPlot(plotArgs); }},
        {addExplainCommand(app, explainArgs), [&] { return runExplain(explainArgs); }},
        {withModuleOptions(addCheckCommand(app, checkArgs), module),
         [&] { return runCheckCommand(module, checkArgs); }},
        {withModuleOptions(addSurveyCommand(app, surveyArgs), module),
         [&] { return runSurveyCommand(module, surveyArgs); }},
        {withModuleOptions(addIdentifyCommand(app, identifyArgs), module),
         [&] { return runIdentifyCommand(module, identifyArgs); }},
        {addConfigureCommand(app, configureArgs), [&] { return runConfigure(configureArgs); }},
        {addSendCommand(app, sendArgs), [&] { return runSend(sendArgs); }},
        {addTermCommand(app, termArgs), [&] { return runTerm(termArgs); }},
        {addMonitorCommand(app, monitorArgs), [&] { return runMonitor(monitorArgs); }},
        {withModuleOptions(addCommissionCommand(app, commissionArgs), module),
         [&] { return runCommission(module, commissionArgs); }},
        {withModuleOptions(addLoopcheckCommand(app, loopcheckArgs), module),
         [&] { return runLoopcheck(module, loopcheckArgs); }},
        {withModuleOptions(addReportCommand(app, reportArgs), module), [&] { return runReport(module, reportArgs); }},
    };

    try {
        app.parse(argc, argv);
        checkModuleOptions(module);
    } catch (const CLI::ParseError &e) {
        // --help and --version end with 0; every misuse of the command line
        // with 1, as documented (not CLI11's own codes).
        return app.exit(e) == 0 ? EXIT_OK : EXIT_USAGE;
    }
    for (const auto &command : commands)
        if (*command.first)
            return command.second();
    return EXIT_USAGE; // require_subcommand(1) leaves none of this
}

int main(int argc, char **argv)
{
    // Anything the tools did not foresee ends the program with a message
    // and status 2, never with an abort.
    try {
        return hostMain(argc, argv);
    } catch (const std::exception &e) {
        fprintf(stderr, "veldran-host: %s\n", e.what());
        return vhost::EXIT_UNFORESEEN;
    }
}
