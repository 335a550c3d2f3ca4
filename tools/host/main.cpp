// veldran-host: the reference host.  Loads the module, lists its
// instruction table or scans a ladder program against it.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "bringup.h"
#include "check.h"
#include "errors.h"
#include "exit_status.h"
#include "hostsvc.h"
#include "ladder.h"
#include "module_handle.h"
#include "platform.h"
#include "scan.h"
#include "settings.h"
#include "survey.h"
#include "twin.h"
#include "veldran.h"
#include "veldran_version.h"
#include "watch.h"
#include "wire_format.h"

namespace vhost {

namespace {

volatile std::sig_atomic_t stopRequested = 0;
extern "C" void onSignal(int) { stopRequested = 1; }

// Ctrl-C and SIGTERM end a run or a survey after the call under way.
void stopOnSignals()
{
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
}

// Says on stderr when a port falls back to its default device, before
// anything opens it.
void noteDefaultDevice(int port)
{
    std::string note = defaultDeviceNote(port);
    if (!note.empty())
        fprintf(stderr, "veldran-host: %s\n", note.c_str());
}

// ---------------------------------------------------------------------------
// The module.

// Which module to load: the options before the subcommand.
struct ModuleArgs {
    std::string path; // the module file
    std::string dll;  // the Windows DLL to run in the emulator instead ("": none)
};

void addModuleOptions(CLI::App &app, ModuleArgs &a)
{
    a.path = loader::defaultModulePath();
    app.add_option("-m,--module", a.path, "module file to load (default: beside this program)");
    if (loader::emulatorAvailable())
        app.add_option("--dll", a.dll,
                       "run the real Windows DLL (veldran.tlm) in the i386 emulator instead of the module")
            ->excludes("--module");
}

// The module of the options; false after saying on stderr why not.
bool openModule(const ModuleArgs &a, loader::Module &m)
{
    std::string error;
    const bool emulated = !a.dll.empty();
    if (loader::openModule(emulated ? loader::Backend::Emulated : loader::Backend::Native, emulated ? a.dll : a.path, m,
                           error))
        return true;
    fprintf(stderr, "veldran-host: %s\n", error.c_str());
    return false;
}

// The module, and the ladder program read against its table.  When either
// cannot be had, the status to end with after saying why: EXIT_LOAD, or
// `badLadder`.
std::optional<Exit> openModuleAndLadder(const ModuleArgs &mod, const std::string &ladder, Exit badLadder,
                                        loader::Module &m, Program &prog)
{
    if (!openModule(mod, m))
        return EXIT_LOAD;
    try {
        prog = parseLadderFile(ladder, m.table);
    } catch (const LadderError &e) {
        fprintf(stderr, "veldran-host: %s\n", e.what());
        return badLadder;
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------
// list

CLI::App *addListCommand(CLI::App &app) { return app.add_subcommand("list", "print the module's instruction table"); }

const char *kindName(WORD kind)
{
    switch (kind) {
    case ARG_WORD_IN:
        return "word in";
    case ARG_WORD_OUT:
        return "word out";
    case ARG_FLOAT_IN:
        return "float in";
    case ARG_NUM_OUT:
        return "number out (float or word)";
    case ARG_ARRAY_OUT:
        return "array out (float or word)";
    default:
        return "?";
    }
}

void listTable(const std::string &path, const FUNCDEF *table)
{
    int n = tableEntries(table);
    printf("veldran-host %s, %s: %d instructions\n", VELDRAN_VERSION, path.c_str(), n);
    for (int i = 0; i < n; ++i) {
        const FUNCDEF &f = table[i];
        std::string desc(f.fnc_desc, strnlen(f.fnc_desc, sizeof f.fnc_desc));
        printf("%2d  %-8s \"%s\"  %d operand%s", i, instrName(f).c_str(), desc.c_str(), f.fnc_numargs,
               f.fnc_numargs == 1 ? "" : "s");
        if (f.fnc_numoptionalargs || f.fnc_type)
            printf("  (optional %d, type %d)", f.fnc_numoptionalargs, f.fnc_type);
        printf("\n");
        for (int k = 0; k < f.fnc_numargs && k < 9; ++k) {
            const PARMDEF &p = f.p[k];
            printf("      %-9s 0x%04x  len %-2u %s\n", paramLabel(p).c_str(), p.prm_argtype, p.prm_len,
                   kindName(p.prm_argtype));
        }
    }
}

Exit runList(const ModuleArgs &mod)
{
    loader::Module m;
    if (!openModule(mod, m))
        return EXIT_LOAD;
    listTable(m.file, m.table);
    return EXIT_OK;
}

// ---------------------------------------------------------------------------
// run

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
    std::string logPath, tracePath;

    const std::string *optionString() const { return optionsGiven->count() ? &options : nullptr; }
};

// -n, --scans: a whole number, 0 or more.
CLI::Validator scanCount()
{
    return CLI::Validator(
        [](std::string &v) {
            char *end = nullptr;
            errno = 0;
            long n = v.empty() || !isdigit(static_cast<unsigned char>(v[0])) ? -1 : strtol(v.c_str(), &end, 10);
            bool ok = n >= 0 && errno == 0 && end && *end == '\0';
            return ok ? std::string() : std::string("0 (run until stopped) or more");
        },
        "0 (run until stopped) or more");
}

CLI::App *addRunCommand(CLI::App &app, RunArgs &a)
{
    CLI::App *run = app.add_subcommand("run", "scan a ladder program");
    run->add_option("ladder", a.ladder, "ladder program (TOML)")->required();
    a.optionsGiven = run->add_option("-o,--options", a.options, "option string for the Init request (none: no string)");
    run->add_option("--mode", a.mode, "controller mode sent with SetMode (1, 0 and -1 keep the I/O shut)")
        ->capture_default_str();
    run->add_flag("--topdoc", a.topdoc, "set bit 0 of the Init flags (I/O open whatever the mode)");
    a.scansGiven = run->add_option("-n,--scans", a.scan.scans, "number of scans, 0 until interrupted")
                       ->check(scanCount())
                       ->capture_default_str();
    run->add_option("-d,--duration", a.durationS, "stop after this many seconds")->check(CLI::NonNegativeNumber);
    run->add_option("-p,--period-ms", a.scan.periodMs, "minimum scan period in ms")->check(CLI::NonNegativeNumber);
    run->add_flag("-q,--quiet", a.scan.quiet, "print only the summary");
    run->add_flag("--live", a.live, "one screen redrawn in place (plain output when stdout is no terminal)");
    run->add_option("--log", a.logPath, "write every scan to this CSV file");
    run->add_option("--trace", a.tracePath,
                    "write the module's DEBUG traces of failures to this file, with scan number and time");
    run->add_flag("--fail-on-error", a.failOnError, "exit status 4 when a rung ended a scan with a non-zero code");
    return run;
}

// One run of a ladder program on the loaded module: Init, the scans (plain,
// or in the live view), the summary and DeInstall.
class LadderRun {
public:
    LadderRun(loader::Module &m, Program &prog, const RunArgs &a, const RunOptions &scan)
        : m_(m), a_(a), scan_(scan), console_(stdout), runner_(prog, m.table, console_)
    {
    }
    Exit run();

private:
    bool openFiles();
    bool init();
    void scan();
    long portGone();

    loader::Module &m_;
    const RunArgs &a_;
    RunOptions scan_;
    Console console_;
    // The runner binds the operands (no call yet), so the log can be
    // opened, and refused, before Init touches the line.
    Runner runner_;
    CsvLog log_;
    FailureTraces traces_;
    OptionReading reading_;
    long scanUnderWay_ = 1; // the scan the module's failure traces come in
};

// The log and the trace file; false after saying why.
bool LadderRun::openFiles()
{
    std::string fileError;
    if ((!a_.logPath.empty() && !log_.open(a_.logPath, runner_, fileError)) ||
        (!a_.tracePath.empty() && !traces_.open(a_.tracePath, fileError))) {
        fprintf(stderr, "veldran-host: %s\n", fileError.c_str());
        return false;
    }
    return true;
}

// Init and SetMode; false (after DeInstall) when Init failed.
bool LadderRun::init()
{
    reading_ = readOptions(a_.optionString());
    noteDefaultDevice(reading_.settings.port);
    ERRCODE ec = loader::sendInit(m_, a_.optionString(), a_.topdoc);
    console_.finish();
    if (ec != 0) {
        // The port, its device and where the mapping comes from help most
        // when the port would not open.
        if (reading_.code == 0)
            console_.line("settings: " + settingsText(reading_.settings));
        console_.line("Init failed: " + errorLabel(ec));
        loader::sendDeinstall(m_);
        console_.finish();
        return false;
    }
    loader::sendSetmode(m_, a_.mode);
    console_.relay();
    console_.line("settings: " + settingsText(reading_.settings));
    // The module keeps the I/O gate shut in these modes unless Init had the
    // flag: every instruction then returns without an exchange.
    if (!a_.topdoc && (a_.mode == 1 || a_.mode == 0 || a_.mode == -1)) {
        console_.line("I/O gate closed: instructions will not touch the line");
        runner_.gateClosed(true);
    }
    return true;
}

// The scans until their number or time is up or a signal stops them.
void LadderRun::scan()
{
    bool live = a_.live;
    int columns = 80, rows = 0;
    if (live && !stdoutTerminal(&columns, &rows)) {
        fprintf(stderr,
                "veldran-host: --live: standard output is no terminal the screen can be drawn on (under wine it never "
                "is); the plain output follows\n");
        live = false;
    }
    LiveView view(stdout, columns, rows);
    view.failures(&traces_);
    if (live) {
        scan_.quiet = true;
        console_.hold(true);
        view.begin();
    }
    long lastNumber = 0;
    double lastScanMs = 0;
    runner_.run(scan_, &stopRequested, [&](long number, double ms) {
        if (!log_.row(runner_, number, ms))
            fprintf(stderr, "veldran-host: cannot write %s: the log ends before scan %ld\n", a_.logPath.c_str(),
                    number);
        if (live)
            view.scan(runner_, number, ms, console_.takeHeld(), false);
        lastNumber = number;
        lastScanMs = ms;
        scanUnderWay_ = number + 1;
        if (loader::moduleStopped(m_))
            stopRequested = 1;
    });
    if (live) {
        // The last scan stays on the screen, the summary below it.
        if (lastNumber > 0)
            view.scan(runner_, lastNumber, lastScanMs, console_.takeHeld(), true);
        view.end();
        console_.hold(false);
    }
}

// The scan in which the port went away (0: it did not), said when it did.
long LadderRun::portGone()
{
    // A port that went away does not come back to this run: the serial
    // library's handle of it is dead, and scanning on would only log 1010.
    long gone = runner_.stats().portGoneScan;
    if (gone)
        console_.line("COM" + std::to_string(reading_.settings.port) + " (" +
                      portDevice(reading_.settings.port).device + ") is gone: every exchange of scan " +
                      std::to_string(gone) + " failed with " + errorLabel(EC_WRITE_FAILED) +
                      " (the serial library takes no line: the device was unplugged, closed or hung up); the run "
                      "ends with exit status 5; reconnect the device and start the run again");
    return gone;
}

Exit LadderRun::run()
{
    if (!openFiles())
        return EXIT_USAGE;
    console_.line(m_.said);
    console_.tap([this](const std::string &text) { traces_.call(text, scanUnderWay_); });
    if (!init())
        return EXIT_INIT;
    scan();
    long gone = portGone();
    console_.line(runner_.summary());
    if (a_.failOnError && runner_.gateClosed())
        console_.line("--fail-on-error: no instruction ran (the I/O gate was closed), so nothing was checked");

    loader::sendDeinstall(m_);
    console_.finish();
    const bool stopped = loader::moduleStopped(m_);
    loader::closeModule(m_);
    if (stopped)
        return EXIT_LOAD;
    if (gone)
        return EXIT_PORT_GONE;
    return a_.failOnError && (runner_.gateClosed() || runner_.stats().anyFailure()) ? EXIT_CODES : EXIT_OK;
}

Exit runLadder(const ModuleArgs &mod, const RunArgs &a)
{
    RunOptions scan = a.scan;
    scan.durationMs = std::trunc(a.durationS * 1000);
    // --duration alone runs for that long, not for the default ten scans.
    if (scan.durationMs > 0 && a.scansGiven->count() == 0)
        scan.scans = 0;
    loader::Module m;
    Program prog;
    if (auto failed = openModuleAndLadder(mod, a.ladder, EXIT_USAGE, m, prog))
        return *failed;
    stopOnSignals();
    hostsvc::useRealClock();
    hostsvc::captureConsole(true);
    LadderRun ladderRun(m, prog, a, scan);
    return ladderRun.run();
}

// ---------------------------------------------------------------------------
// plot

struct PlotArgs {
    std::string log, image;
};

CLI::App *addPlotCommand(CLI::App &app, PlotArgs &a)
{
    CLI::App *plt = app.add_subcommand("plot", "draw a log of run --log as a trend image (PNG or SVG)");
    plt->add_option("log", a.log, "the CSV file written by run --log")->required();
    plt->add_option("-o,--output", a.image, "the image, .png or .svg")->required();
    return plt;
}

Exit runPlot(const PlotArgs &a) { return plotLog(a.log, a.image); }

// ---------------------------------------------------------------------------
// explain

struct ExplainArgs {
    std::string code;
};

CLI::App *addExplainCommand(CLI::App &app, ExplainArgs &a)
{
    CLI::App *exp = app.add_subcommand("explain", "what an error code means, its likely causes and what to do");
    exp->add_option("code", a.code, "the code (1005), its name (TIMEOUT) or all")->required();
    return exp;
}

Exit runExplain(const ExplainArgs &a)
{
    const std::string &what = a.code;
    size_t n = 0;
    const ErrorInfo *table = errorTable(&n);
    if (what == "all") {
        for (size_t i = 0; i < n; ++i)
            printf("%s%s", i ? "\n" : "", explainText(table[i]).c_str());
        return EXIT_OK;
    }
    // A number, or a name in any case.  A number beyond the codes, or a
    // negative one, is none of them (strtoul would wrap it onto another).
    char *end = nullptr;
    errno = 0;
    unsigned long code = strtoul(what.c_str(), &end, 10);
    const ErrorInfo *e = nullptr;
    if (!what.empty() && end && *end == '\0') {
        if (errno == 0 && code <= UINT_MAX && what.find('-') == std::string::npos)
            e = findError(static_cast<unsigned>(code));
    } else {
        std::string up = what;
        for (char &c : up)
            c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        for (size_t i = 0; i < n && !e; ++i)
            if (up == table[i].name)
                e = &table[i];
    }
    if (!e) {
        fprintf(stderr,
                "veldran-host: %s is no error code of the module (0, 999, 1001 to 1021; `explain all` lists them)\n",
                what.c_str());
        return EXIT_USAGE;
    }
    printf("%s", explainText(*e).c_str());
    return EXIT_OK;
}

// ---------------------------------------------------------------------------
// check

struct CheckArgs {
    std::string ladder, options, plant;
    const CLI::Option *optionsGiven = nullptr; // -o: without it, no option string
};

CLI::App *addCheckCommand(CLI::App &app, CheckArgs &a)
{
    CLI::App *chk = app.add_subcommand("check", "read a ladder program and an option string against the line");
    chk->add_option("ladder", a.ladder, "ladder program (TOML)")->required();
    a.optionsGiven = chk->add_option("-o,--options", a.options, "the option string for Init");
    chk->add_option("--plant", a.plant, "plant file (the simulator's format) that describes the line");
    return chk;
}

Exit runCheckCommand(const ModuleArgs &mod, const CheckArgs &a)
{
    loader::Module m;
    Program prog;
    if (auto failed = openModuleAndLadder(mod, a.ladder, EXIT_ERRORS, m, prog))
        return *failed;
    CheckInput in;
    in.prog = &prog;
    in.table = m.table;
    in.options = a.optionsGiven->count() ? &a.options : nullptr;
    in.plantPath = a.plant;
    // The gate opens without Init, so no port is opened: the module
    // checks each rung's operands as in a scan, and the serial library
    // refuses whatever it would send.
    in.trialRun = loader::sendSetmode(m, 2) == 0;
    std::string report;
    Exit st = runCheck(in, report);
    printf("%s\n", m.said.c_str());
    fputs(report.c_str(), stdout);
    return loader::moduleStopped(m) ? EXIT_LOAD : st;
}

// ---------------------------------------------------------------------------
// survey

struct SurveyArgs {
    SurveyOptions survey;
    std::string checksum;   // "off", "on" or "" (both)
    std::string writePlant; // the bench twin's plant file ("": none)
};

CLI::App *addSurveyCommand(CLI::App &app, SurveyArgs &a)
{
    CLI::App *sur =
        app.add_subcommand("survey", "find the modules that answer, at which baud rate and checksum setting");
    addPortOption(sur, a.survey.port);
    sur->add_option("--baud", a.survey.bauds, "baud rates to try, in hundreds (96,192,384,576,1152; default all)")
        ->delimiter(',')
        ->check(CLI::IsMember(std::vector<int>(std::begin(wire::BAUD_CODES), std::end(wire::BAUD_CODES))));
    sur->add_option("--checksum", a.checksum, "checksum setting to try: off or on (default both)")
        ->check(CLI::IsMember({"off", "on"}));
    sur->add_option("--from", a.survey.first, "first address")->check(CLI::Range(0, 255))->capture_default_str();
    sur->add_option("--to", a.survey.last, "last address")->check(CLI::Range(0, 255))->capture_default_str();
    sur->add_option("--timeout", a.survey.timeoutMs,
                    "time-out in ms of the status reads (default: their wire time plus a margin); the reads "
                    "of a module found get it plus their longer wire time")
        ->check(CLI::Range(wire::TIMEOUT_MIN, wire::TIMEOUT_MAX));
    sur->add_option("--write-plant", a.writePlant,
                    "then identify what answered and write the line's bench twin: a plant file for veldran-sim");
    return sur;
}

// The survey through the module, its table printed; the module is unloaded
// again, so that the line is free.
Exit surveyLine(const ModuleArgs &mod, const SurveyOptions &opt, std::vector<SurveyFind> &found)
{
    loader::Module m;
    if (!openModule(mod, m))
        return EXIT_LOAD;
    hostsvc::useRealClock();
    hostsvc::captureConsole(true);
    noteDefaultDevice(opt.port);
    PortDevice dev = portDevice(opt.port);
    printf("%s\n", m.said.c_str());
    printf("survey: COM%d = %s (%s), addresses %d to %d\n", opt.port, dev.device.c_str(), dev.source.c_str(), opt.first,
           opt.last);
    fflush(stdout);
    SurveyLine line;
    line.table = m.table;
    line.init = [&](const std::string &o) { return loader::sendInit(m, &o, true); };
    if (countsReceived())
        line.received = [&opt] { return receivedOnPort(opt.port); };
    std::string error;
    std::vector<SurveyGarbled> garbled;
    // Ctrl-C ends the survey with what it found so far.
    stopOnSignals();
    found = runSurvey(line, opt, stderr, error, &stopRequested, &garbled);
    std::string said = hostsvc::takeConsole();
    loader::sendDeinstall(m);
    hostsvc::takeConsole();
    if (!error.empty()) {
        fprintf(stderr, "%s\nveldran-host: survey: %s\n", said.c_str(), error.c_str());
        return EXIT_LINE;
    }
    if (stopRequested)
        printf("survey: interrupted; what answered until then:\n");
    fputs(surveyReport(found).c_str(), stdout);
    fputs(surveyRecommendation(found, opt.port).c_str(), stdout);
    fputs(surveyMixedLine(found).c_str(), stdout);
    fputs(surveyGarbledLines(garbled).c_str(), stdout);
    const bool stopped = loader::moduleStopped(m);
    loader::closeModule(m);
    if (stopped)
        return EXIT_LOAD;
    if (stopRequested)
        return EXIT_INTERRUPTED;
    return found.empty() ? EXIT_NO_ANSWER : EXIT_OK;
}

// identify of what the survey found, then its bench twin in `path`.
Exit writeTwin(int port, const std::vector<SurveyFind> &found, const std::string &path)
{
    LineOptions line;
    line.port = port;
    std::vector<ModuleIdentity> ids;
    Exit st = identifyFound(line, found, ids);
    if (st == EXIT_LINE)
        return st;
    std::vector<std::string> left;
    const std::string text = twinPlant(ids, left);
    for (const std::string &l : left)
        printf("survey: %s\n", l.c_str());
    FILE *f = fopen(path.c_str(), "wb");
    const bool written = f && fwrite(text.data(), 1, text.size(), f) == text.size();
    if (!f || fclose(f) != 0 || !written) {
        fprintf(stderr, "veldran-host: survey: cannot write %s: %s\n", path.c_str(), strerror(errno));
        return EXIT_USAGE;
    }
    printf("survey: the bench twin of %zu module%s written to %s (veldran-sim --plant %s)\n", ids.size() - left.size(),
           ids.size() - left.size() == 1 ? "" : "s", path.c_str(), path.c_str());
    return st;
}

Exit runSurveyCommand(const ModuleArgs &mod, const SurveyArgs &a)
{
    SurveyOptions opt = a.survey;
    if (opt.first > opt.last) {
        fprintf(stderr, "veldran-host: survey: --from %d is above --to %d\n", opt.first, opt.last);
        return EXIT_USAGE;
    }
    if (!a.checksum.empty())
        opt.checksums = {a.checksum == "on"};
    std::vector<SurveyFind> found;
    Exit st = surveyLine(mod, opt, found);
    if (st != EXIT_OK || a.writePlant.empty())
        return st;
    return writeTwin(opt.port, found, a.writePlant);
}

// identify without addresses: a survey first, then each module it found.
Exit runIdentifyAfterSurvey(const ModuleArgs &mod, const IdentifyArgs &a)
{
    SurveyOptions opt;
    opt.port = a.line.port;
    if (a.line.baud) {
        const int code = a.line.baud / 100;
        if (a.line.baud % 100 ||
            std::find(std::begin(wire::BAUD_CODES), std::end(wire::BAUD_CODES), code) == std::end(wire::BAUD_CODES)) {
            fprintf(stderr,
                    "veldran-host: identify: the survey tries 9600, 19200, 38400, 57600 and 115200 baud; "
                    "give the addresses to identify at %d\n",
                    a.line.baud);
            return EXIT_USAGE;
        }
        opt.bauds = {code};
    }
    if (!a.checksum.empty())
        opt.checksums = {a.checksum == "on"};
    std::vector<SurveyFind> found;
    Exit st = surveyLine(mod, opt, found);
    if (st != EXIT_OK)
        return st;
    LineOptions line = a.line;
    std::vector<ModuleIdentity> ids;
    return identifyFound(line, found, ids);
}

} // namespace

} // namespace vhost

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
    // Each subcommand, added in the order --help lists them, and what runs
    // it once the command line is parsed.
    const std::pair<const CLI::App *, std::function<Exit()>> commands[] = {
        {addListCommand(app), [&] { return runList(module); }},
        {addRunCommand(app, runArgs), [&] { return runLadder(module, runArgs); }},
        {addPlotCommand(app, plotArgs), [&] { return runPlot(plotArgs); }},
        {addExplainCommand(app, explainArgs), [&] { return runExplain(explainArgs); }},
        {addCheckCommand(app, checkArgs), [&] { return runCheckCommand(module, checkArgs); }},
        {addSurveyCommand(app, surveyArgs), [&] { return runSurveyCommand(module, surveyArgs); }},
        {addIdentifyCommand(app, identifyArgs),
         [&] {
             return identifyArgs.addresses.empty() && identifyArgs.from < 0 && identifyArgs.to < 0
                        ? runIdentifyAfterSurvey(module, identifyArgs)
                        : runIdentify(identifyArgs);
         }},
        {addConfigureCommand(app, configureArgs), [&] { return runConfigure(configureArgs); }},
        {addSendCommand(app, sendArgs), [&] { return runSend(sendArgs); }},
        {addTermCommand(app, termArgs), [&] { return runTerm(termArgs); }},
    };

    try {
        app.parse(argc, argv);
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
