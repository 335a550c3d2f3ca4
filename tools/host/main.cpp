// veldran-host: the reference host.  Loads the module, lists its
// instruction table or scans a ladder program against it.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "bringup.h"
#include "check.h"
#include "errors.h"
#include "hostsvc.h"
#include "ladder.h"
#include "platform.h"
#include "records.h"
#include "scan.h"
#include "settings.h"
#include "survey.h"
#include "veldran.h"
#include "veldran_version.h"
#include "watch.h"
#include "wire_format.h"
#if !defined(_WIN32)
#include "emulated_module.h"
#endif

namespace {

using EntryFn = ERRCODE(TLMCALL *)(void *reqp, void *datap);

volatile std::sig_atomic_t stopRequested = 0;
extern "C" void onSignal(int) { stopRequested = 1; }

enum Exit {
    EXIT_OK = 0,
    EXIT_USAGE = 1,
    EXIT_LOAD = 2,
    EXIT_INIT = 3,
    EXIT_CODES = 4,
    EXIT_PORT_GONE = 5,
    EXIT_INTERRUPTED = 130
};

// Says on stderr when a port falls back to its default device, before
// anything opens it.
void noteDefaultDevice(int port)
{
    std::string note = vhost::defaultDeviceNote(port);
    if (!note.empty())
        fprintf(stderr, "veldran-host: %s\n", note.c_str());
}

int explain(const std::string &what)
{
    size_t n = 0;
    const vhost::ErrorInfo *table = vhost::errorTable(&n);
    if (what == "all") {
        for (size_t i = 0; i < n; ++i)
            printf("%s%s", i ? "\n" : "", vhost::explainText(table[i]).c_str());
        return EXIT_OK;
    }
    // A number, or a name in any case.
    char *end = nullptr;
    unsigned long code = strtoul(what.c_str(), &end, 10);
    const vhost::ErrorInfo *e = nullptr;
    if (!what.empty() && end && *end == '\0') {
        e = vhost::findError(static_cast<unsigned>(code));
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
                "veldran-host: %s is no error code of the module (0, 999, 1001 to 1020; `explain all` lists them)\n",
                what.c_str());
        return EXIT_USAGE;
    }
    printf("%s", vhost::explainText(*e).c_str());
    return EXIT_OK;
}

struct Module {
    vhost::LoadedLibrary lib;
    EntryFn entry = nullptr;
    const FUNCDEF *table = nullptr;
    std::string said; // which module is in use, for the first line of output
};

bool openModule(const std::string &path, const std::string &dll, Module &m)
{
    std::string error;
#if !defined(_WIN32)
    if (!dll.empty()) {
        pe::EmulatedModule em;
        if (!pe::openEmulatedModule(dll, em, error)) {
            fprintf(stderr, "veldran-host: cannot load %s: %s\n", dll.c_str(), error.c_str());
            return false;
        }
        m.entry = em.entry;
        m.table = em.table;
        m.said = "module: " + dll + " (DLL version " + (em.version.empty() ? "unknown" : em.version) +
                 ") in the i386 emulator";
        return true;
    }
    m.said = "module: " + path + " (native)";
#else
    (void)dll;
    m.said = "module: " + path;
#endif
    if (!vhost::loadLibrary(path, m.lib, error)) {
        fprintf(stderr, "veldran-host: cannot load %s: %s\n", path.c_str(), error.c_str());
        return false;
    }
    m.entry = reinterpret_cast<EntryFn>(vhost::findSymbol(m.lib, VELDRAN_ENTRY_EXPORT));
    m.table = static_cast<const FUNCDEF *>(vhost::findSymbol(m.lib, VELDRAN_TABLE_EXPORT));
    if (!m.entry || !m.table) {
        fprintf(stderr, "veldran-host: %s does not export %s\n", path.c_str(),
                !m.entry ? VELDRAN_ENTRY_EXPORT : VELDRAN_TABLE_EXPORT);
        return false;
    }
    return true;
}

// A DLL in the emulator that faulted is stopped (the fault is on stderr):
// nothing more it reports can be trusted.
bool dllStopped()
{
#if !defined(_WIN32)
    return !pe::moduleFault().empty();
#else
    return false;
#endif
}

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

int listTable(const std::string &path, const FUNCDEF *table)
{
    int n = vhost::tableEntries(table);
    printf("veldran-host %s, %s: %d instructions\n", VELDRAN_VERSION, path.c_str(), n);
    for (int i = 0; i < n; ++i) {
        const FUNCDEF &f = table[i];
        std::string desc(f.fnc_desc, strnlen(f.fnc_desc, sizeof f.fnc_desc));
        printf("%2d  %-8s \"%s\"  %d operand%s", i, vhost::instrName(f).c_str(), desc.c_str(), f.fnc_numargs,
               f.fnc_numargs == 1 ? "" : "s");
        if (f.fnc_numoptionalargs || f.fnc_type)
            printf("  (optional %d, type %d)", f.fnc_numoptionalargs, f.fnc_type);
        printf("\n");
        for (int k = 0; k < f.fnc_numargs && k < 9; ++k) {
            const PARMDEF &p = f.p[k];
            printf("      %-9s 0x%04x  len %-2u %s\n", vhost::paramLabel(p).c_str(), p.prm_argtype, p.prm_len,
                   kindName(p.prm_argtype));
        }
    }
    return EXIT_OK;
}

ERRCODE sendInit(EntryFn entry, const std::string *options, bool topdoc)
{
    struct req_init req = records::request(REQ_INIT, hostsvc::dispatcher(), topdoc ? INIT_FLAG_TOPDOC : 0u);
    std::string copy = options ? *options : std::string();
    return entry(&req, options ? &copy[0] : nullptr);
}

WORD statusWords[64];

ERRCODE sendSetmode(EntryFn entry, int32_t mode)
{
    struct req_setmode r = records::setMode(mode, statusWords);
    return entry(&r, nullptr);
}

ERRCODE sendDeinstall(EntryFn entry)
{
    struct req_init req = records::request(REQ_DEINSTALL);
    return entry(&req, nullptr);
}

} // namespace

int hostMain(int argc, char **argv)
{
    CLI::App app{"veldran-host: loads the veldran module, lists its instructions, scans a ladder program, and helps "
                 "commission a line (explain, check, survey)"};
    app.set_version_flag("--version", "veldran-host " VELDRAN_VERSION);
    app.require_subcommand(1);
    // A path given the Unix way under wine (/tmp/x/ladder.toml) is a path,
    // not a Windows-style option; the subcommands inherit this.
    app.allow_windows_style_options(false);
    std::string modulePath = vhost::executableDir() + vhost::pathSeparator() + vhost::defaultModuleName();
    app.add_option("-m,--module", modulePath, "module file to load (default: beside this program)");
    std::string dllPath;
#if !defined(_WIN32)
    app.add_option("--dll", dllPath,
                   "run the real Windows DLL (veldran.tlm) in the i386 emulator instead of the module")
        ->excludes("--module");
#endif

    CLI::App *list = app.add_subcommand("list", "print the module's instruction table");

    CLI::App *run = app.add_subcommand("run", "scan a ladder program");
    std::string ladder;
    std::string options;
    int32_t mode = 2;
    bool topdoc = false;
    vhost::RunOptions ropt;
    double durationS = 0;
    run->add_option("ladder", ladder, "ladder program (TOML)")->required();
    CLI::Option *optOptions =
        run->add_option("-o,--options", options, "option string for the Init request (none: no string)");
    run->add_option("--mode", mode, "controller mode sent with SetMode (1, 0 and -1 keep the I/O shut)")
        ->capture_default_str();
    run->add_flag("--topdoc", topdoc, "set bit 0 of the Init flags (I/O open whatever the mode)");
    run->add_option("-n,--scans", ropt.scans, "number of scans, 0 until interrupted")
        ->check(CLI::Validator(
            [](std::string &v) {
                char *end = nullptr;
                errno = 0;
                long n = v.empty() || !isdigit(static_cast<unsigned char>(v[0])) ? -1 : strtol(v.c_str(), &end, 10);
                bool ok = n >= 0 && errno == 0 && end && *end == '\0';
                return ok ? std::string() : std::string("0 (run until stopped) or more");
            },
            "0 (run until stopped) or more"))
        ->capture_default_str();
    run->add_option("-d,--duration", durationS, "stop after this many seconds")->check(CLI::NonNegativeNumber);
    run->add_option("-p,--period-ms", ropt.periodMs, "minimum scan period in ms")->check(CLI::NonNegativeNumber);
    run->add_flag("-q,--quiet", ropt.quiet, "print only the summary");
    bool live = false, failOnError = false;
    std::string logPath, tracePath;
    run->add_flag("--live", live, "one screen redrawn in place (plain output when stdout is no terminal)");
    run->add_option("--log", logPath, "write every scan to this CSV file");
    run->add_option("--trace", tracePath,
                    "write the module's DEBUG traces of failures to this file, with scan number and time");
    run->add_flag("--fail-on-error", failOnError, "exit status 4 when a rung ended a scan with a non-zero code");

    CLI::App *plt = app.add_subcommand("plot", "draw a log of run --log as a trend image (PNG or SVG)");
    std::string plotCsv, plotImage;
    plt->add_option("log", plotCsv, "the CSV file written by run --log")->required();
    plt->add_option("-o,--output", plotImage, "the image, .png or .svg")->required();

    CLI::App *exp = app.add_subcommand("explain", "what an error code means, its likely causes and what to do");
    std::string code;
    exp->add_option("code", code, "the code (1005), its name (TIMEOUT) or all")->required();

    CLI::App *chk = app.add_subcommand("check", "read a ladder program and an option string against the line");
    std::string checkLadder, checkOptions, plant;
    chk->add_option("ladder", checkLadder, "ladder program (TOML)")->required();
    CLI::Option *chkOptions = chk->add_option("-o,--options", checkOptions, "the option string for Init");
    chk->add_option("--plant", plant, "plant file (the simulator's format) that describes the line");

    CLI::App *sur =
        app.add_subcommand("survey", "find the modules that answer, at which baud rate and checksum setting");
    vhost::SurveyOptions sopt;
    std::string sumSetting;
    sur->add_option("--port", sopt.port, "COM port 1 to 4")
        ->check(CLI::Range(wire::PORT_MIN, wire::PORT_MAX))
        ->capture_default_str();
    sur->add_option("--baud", sopt.bauds, "baud rates to try, in hundreds (96,192,384,576,1152; default all)")
        ->delimiter(',')
        ->check(CLI::IsMember(std::vector<int>(std::begin(wire::BAUD_CODES), std::end(wire::BAUD_CODES))));
    sur->add_option("--checksum", sumSetting, "checksum setting to try: off or on (default both)")
        ->check(CLI::IsMember({"off", "on"}));
    sur->add_option("--from", sopt.first, "first address")->check(CLI::Range(0, 255))->capture_default_str();
    sur->add_option("--to", sopt.last, "last address")->check(CLI::Range(0, 255))->capture_default_str();
    sur->add_option("--timeout", sopt.timeoutMs, "time-out in ms (default: the exchange's wire time plus a margin)")
        ->check(CLI::Range(wire::TIMEOUT_MIN, wire::TIMEOUT_MAX));

    vhost::BringupCommands bringup(app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        // --help and --version end with 0; every misuse of the command line
        // with 1, as documented (not CLI11's own codes).
        int rc = app.exit(e);
        return rc == 0 ? EXIT_OK : EXIT_USAGE;
    }
    if (auto rc = bringup.run())
        return *rc;
    if (*exp)
        return explain(code);
    if (*plt)
        return vhost::plotLog(plotCsv, plotImage);
    ropt.durationMs = static_cast<long>(durationS * 1000);
    // --duration alone runs for that long, not for the default ten scans.
    if (*run && ropt.durationMs > 0 && run->count("--scans") == 0)
        ropt.scans = 0;

    Module m;
    if (!openModule(modulePath, dllPath, m))
        return EXIT_LOAD;
    if (*list)
        return listTable(dllPath.empty() ? modulePath : dllPath, m.table);
    if (*sur) {
        if (sopt.first > sopt.last) {
            fprintf(stderr, "veldran-host: survey: --from %d is above --to %d\n", sopt.first, sopt.last);
            return EXIT_USAGE;
        }
        if (!sumSetting.empty())
            sopt.checksums = {sumSetting == "on"};
        hostsvc::useRealClock();
        hostsvc::captureConsole(true);
        noteDefaultDevice(sopt.port);
        vhost::PortDevice dev = vhost::portDevice(sopt.port);
        printf("%s\n", m.said.c_str());
        printf("survey: COM%d = %s (%s), addresses %d to %d\n", sopt.port, dev.device.c_str(), dev.source.c_str(),
               sopt.first, sopt.last);
        fflush(stdout);
        vhost::SurveyLine line;
        line.table = m.table;
        line.init = [&](const std::string &o) { return sendInit(m.entry, &o, true); };
        std::string error;
        // Ctrl-C ends the survey with what it found so far.
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
        std::vector<vhost::SurveyFind> found = vhost::runSurvey(line, sopt, stderr, error, &stopRequested);
        std::string said = hostsvc::takeConsole();
        sendDeinstall(m.entry);
        hostsvc::takeConsole();
        if (!error.empty()) {
            fprintf(stderr, "%s\nveldran-host: survey: %s\n", said.c_str(), error.c_str());
            return EXIT_LOAD;
        }
        if (stopRequested)
            printf("survey: interrupted; what answered until then:\n");
        fputs(vhost::surveyReport(found).c_str(), stdout);
        fputs(vhost::surveyMixedLine(found).c_str(), stdout);
        vhost::unloadLibrary(m.lib);
        if (dllStopped())
            return EXIT_LOAD;
        if (stopRequested)
            return EXIT_INTERRUPTED;
        return found.empty() ? 1 : 0;
    }

    vhost::Program prog;
    try {
        prog = vhost::parseLadderFile(*chk ? checkLadder : ladder, m.table);
    } catch (const vhost::LadderError &e) {
        fprintf(stderr, "veldran-host: %s\n", e.what());
        return *chk ? static_cast<int>(vhost::EXIT_ERRORS) : static_cast<int>(EXIT_USAGE);
    }
    if (*chk) {
        vhost::CheckInput in;
        in.prog = &prog;
        in.table = m.table;
        in.options = chkOptions->count() ? &checkOptions : nullptr;
        in.plantPath = plant;
        // The gate opens without Init, so no port is opened: the module
        // checks each rung's operands as in a scan, and the serial library
        // refuses whatever it would send.
        in.trialRun = sendSetmode(m.entry, 2) == 0;
        std::string report;
        vhost::Exit st = vhost::runCheck(in, report);
        printf("%s\n", m.said.c_str());
        fputs(report.c_str(), stdout);
        return dllStopped() ? static_cast<int>(EXIT_LOAD) : static_cast<int>(st);
    }

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    hostsvc::useRealClock();
    hostsvc::captureConsole(true);
    vhost::Console console(stdout);
    // The runner binds the operands (no call yet), so the log can be opened,
    // and refused, before Init touches the line.
    vhost::Runner runner(prog, m.table, console);
    vhost::CsvLog log;
    vhost::FailureTraces traces;
    std::string fileError;
    if ((!logPath.empty() && !log.open(logPath, runner, fileError)) ||
        (!tracePath.empty() && !traces.open(tracePath, fileError))) {
        fprintf(stderr, "veldran-host: %s\n", fileError.c_str());
        return EXIT_USAGE;
    }
    console.line(m.said);
    // The module's failure traces, with the scan they came in.
    long scanUnderWay = 1;
    console.tap([&](const std::string &text) { traces.call(text, scanUnderWay); });
    vhost::OptionReading reading = vhost::readOptions(optOptions->count() ? &options : nullptr);
    noteDefaultDevice(reading.settings.port);
    ERRCODE ec = sendInit(m.entry, optOptions->count() ? &options : nullptr, topdoc);
    console.finish();
    if (ec != 0) {
        // The port, its device and where the mapping comes from help most
        // when the port would not open.
        if (reading.code == 0)
            console.line("settings: " + vhost::settingsText(reading.settings));
        console.line("Init failed: " + vhost::errorLabel(ec));
        sendDeinstall(m.entry);
        console.finish();
        return EXIT_INIT;
    }
    sendSetmode(m.entry, mode);
    console.relay();
    console.line("settings: " + vhost::settingsText(reading.settings));
    // The module keeps the I/O gate shut in these modes unless Init had the
    // flag: every instruction then returns without an exchange.
    if (!topdoc && (mode == 1 || mode == 0 || mode == -1)) {
        console.line("I/O gate closed: instructions will not touch the line");
        runner.gateClosed(true);
    }

    int columns = 80, rows = 0;
    if (live && !vhost::stdoutTerminal(&columns, &rows)) {
        fprintf(stderr,
                "veldran-host: --live: standard output is no terminal the screen can be drawn on (under wine it never "
                "is); the plain output follows\n");
        live = false;
    }
    vhost::LiveView view(stdout, columns, rows);
    view.failures(&traces);
    if (live) {
        ropt.quiet = true;
        console.hold(true);
        view.begin();
    }
    long lastNumber = 0;
    double lastScanMs = 0;
    runner.run(ropt, &stopRequested, [&](long number, double ms) {
        log.row(runner, number, ms);
        if (live)
            view.scan(runner, number, ms, console.takeHeld(), false);
        lastNumber = number;
        lastScanMs = ms;
        scanUnderWay = number + 1;
        if (dllStopped())
            stopRequested = 1;
    });
    if (live) {
        // The last scan stays on the screen, the summary below it.
        if (lastNumber > 0)
            view.scan(runner, lastNumber, lastScanMs, console.takeHeld(), true);
        view.end();
        console.hold(false);
    }
    // A port that went away does not come back to this run: the serial
    // library's handle of it is dead, and scanning on would only log 1010.
    long gone = runner.stats().portGoneScan;
    if (gone)
        console.line("COM" + std::to_string(reading.settings.port) + " (" +
                     vhost::portDevice(reading.settings.port).device + ") is gone: every exchange of scan " +
                     std::to_string(gone) + " failed with " + vhost::errorLabel(EC_WRITE_FAILED) +
                     " (the serial library takes no line: the device was unplugged, closed or hung up); the run "
                     "ends with exit status 5; reconnect the device and start the run again");
    console.line(runner.summary());
    if (failOnError && runner.gateClosed())
        console.line("--fail-on-error: no instruction ran (the I/O gate was closed), so nothing was checked");

    sendDeinstall(m.entry);
    console.finish();
    vhost::unloadLibrary(m.lib);
    if (dllStopped())
        return EXIT_LOAD;
    if (gone)
        return EXIT_PORT_GONE;
    return failOnError && (runner.gateClosed() || runner.stats().anyFailure()) ? EXIT_CODES : EXIT_OK;
}

int main(int argc, char **argv)
{
    // Anything the tools did not foresee ends the program with a message
    // and status 2, never with an abort.
    try {
        return hostMain(argc, argv);
    } catch (const std::exception &e) {
        fprintf(stderr, "veldran-host: %s\n", e.what());
        return 2;
    }
}
