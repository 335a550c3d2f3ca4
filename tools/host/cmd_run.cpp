// run: a ladder program scanned on the module, with its summary, the CSV
// log, the failure traces and the live view.
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "capture.h"
#include "commands.h"
#include "errors.h"
#include "hostsvc.h"
#include "platform.h"
#include "settings.h"
#include "watch.h"

namespace vhost {

namespace {

// A whole number from 0, refused with `says`; `name` is what --help shows.
// (CLI11's own check would name a double's largest value as the limit.)
CLI::Validator wholeFromZero(const std::string &says, const std::string &name)
{
    return CLI::Validator(
        [says](std::string &v) {
            char *end = nullptr;
            errno = 0;
            long n = v.empty() || !isdigit(static_cast<unsigned char>(v[0])) ? -1 : strtol(v.c_str(), &end, 10);
            bool ok = n >= 0 && errno == 0 && end && *end == '\0';
            return ok ? std::string() : says;
        },
        name);
}

// -n, --scans; -p, --period-ms.
CLI::Validator scanCount() { return wholeFromZero("0 (run until stopped) or more", "0 (run until stopped) or more"); }

CLI::Validator nonNegativeMs() { return wholeFromZero("0 ms or more", "NONNEGATIVE"); }

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
    bool liveOnTerminal(int *columns, int *rows) const;
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
    LiveView *view_ = nullptr; // while the live view owns the screen
    capture::Writer capture_;
    OptionReading reading_;
    long scanUnderWay_ = 1; // the scan the module's failure traces come in
};

// The log and the trace file; false after saying why.
bool LadderRun::openFiles()
{
    std::string fileError;
    if ((!a_.logPath.empty() && !log_.open(a_.logPath, runner_, fileError)) ||
        (!a_.tracePath.empty() && !traces_.open(a_.tracePath, fileError)) ||
        (!a_.capturePath.empty() && !capture_.open(a_.capturePath, fileError))) {
        fprintf(stderr, "veldran-host: %s\n", fileError.c_str());
        return false;
    }
    if (capture_.isOpen() && !capture::recordSerialLibrary(&capture_)) {
        fprintf(stderr, "veldran-host: --capture: this serial library cannot be watched (comm.dll has only the "
                        "serial functions); capture with the native host\n");
        return false;
    }
    return true;
}

// Init and SetMode; false (after DeInstall) when Init failed.
bool LadderRun::init()
{
    reading_ = readOptions(a_.optionString());
    // An option string the module reads otherwise than it looks (check
    // says the same): on stderr, before Init.
    for (const std::string &w : reading_.warnings)
        fprintf(stderr, "veldran-host: warning: options: %s\n", w.c_str());
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
    // With the I/O gate shut every instruction returns without an exchange.
    if (ioGateClosed(a_.topdoc ? 1 : 0, a_.mode)) {
        console_.line("I/O gate closed: instructions will not touch the line");
        runner_.gateClosed(true);
    }
    return true;
}

// Whether --live can draw its screen (and its size); says so when it cannot.
bool LadderRun::liveOnTerminal(int *columns, int *rows) const
{
    if (!a_.live)
        return false;
    if (stdoutTerminal(columns, rows))
        return true;
    fprintf(stderr, "veldran-host: --live: standard output is no terminal the screen can be drawn on (under wine it "
                    "never is); the plain output follows\n");
    return false;
}

// The scans until their number or time is up or a signal stops them.
void LadderRun::scan()
{
    int columns = 80, rows = 0;
    const bool live = liveOnTerminal(&columns, &rows);
    LiveView view(stdout, columns, rows);
    view.failures(&traces_);
    if (live) {
        scan_.quiet = true;
        console_.hold(true);
        view_ = &view;
        watchTerminalSize();
        view.begin();
    }
    // A terminal whose size changed is drawn on at its new size.
    auto draw = [&](long number, double ms, bool force) {
        if (terminalResized(&columns, &rows))
            view.resize(columns, rows);
        view.scan(runner_, number, ms, force);
    };
    long lastNumber = 0;
    double lastScanMs = 0;
    runner_.run(scan_, &stopRequested, [&](long number, double ms) {
        if (!log_.row(runner_, number, ms))
            fprintf(stderr, "veldran-host: cannot write %s: the log ends before scan %ld\n", a_.logPath.c_str(),
                    number);
        if (live)
            draw(number, ms, false);
        lastNumber = number;
        lastScanMs = ms;
        scanUnderWay_ = number + 1;
        if (loader::moduleStopped(m_))
            stopRequested = 1;
    });
    if (live) {
        // The last scan stays on the screen, the summary below it.
        if (lastNumber > 0)
            draw(lastNumber, lastScanMs, true);
        view.end();
        console_.hold(false);
    }
    view_ = nullptr;
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
    console_.tap([this](const std::string &text, const std::string &source) {
        traces_.call(text, scanUnderWay_, source);
        if (view_)
            view_->moduleText(text, source);
    });
    if (!init())
        return EXIT_INIT;
    scan();
    long gone = portGone();
    console_.line(runner_.summary());
    if (a_.failOnError && runner_.gateClosed())
        console_.line("--fail-on-error: no instruction ran (the I/O gate was closed), so nothing was checked");

    loader::sendDeinstall(m_);
    console_.finish();
    if (capture_.isOpen()) {
        capture::recordSerialLibrary(nullptr);
        if (capture_.failed())
            fprintf(stderr, "veldran-host: cannot write %s: the capture ends early\n", a_.capturePath.c_str());
    }
    const bool stopped = loader::moduleStopped(m_);
    loader::closeModule(m_);
    if (stopped)
        return EXIT_LOAD;
    if (gone)
        return EXIT_PORT_GONE;
    return a_.failOnError && (runner_.gateClosed() || runner_.stats().anyFailure()) ? EXIT_CODES : EXIT_OK;
}

} // namespace

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
    run->add_option("-p,--period-ms", a.scan.periodMs, "minimum scan period in ms")->check(nonNegativeMs());
    run->add_flag("-q,--quiet", a.scan.quiet, "print only the summary");
    run->add_flag("--live", a.live, "one screen redrawn in place (plain output when stdout is no terminal)");
    run->add_option("--log", a.logPath, "write every scan to this CSV file");
    run->add_option("--trace", a.tracePath,
                    "write the module's DEBUG traces of failures to this file, with scan number and time");
    run->add_option("--capture", a.capturePath,
                    "write every byte the serial library sent and received, with its time, to this file "
                    "(monitor --replay reads it)");
    run->add_flag("--fail-on-error", a.failOnError, "exit status 4 when a rung ended a scan with a non-zero code");
    return run;
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

} // namespace vhost
