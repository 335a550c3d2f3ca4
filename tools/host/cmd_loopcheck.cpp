// loopcheck: the I/O loop check of a design on its line, point by point,
// on the terminal's screen or from a script; the results kept in a file.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "commands.h"
#include "errors.h"
#include "hostsvc.h"
#include "loopcheck.h"
#include "loopcheck_screen.h"
#include "platform.h"
#include "sha256.h"
#include "wire_format.h"

namespace vhost {

namespace {

constexpr int SCRIPT_POLL_MS = 200; // a script waits for its next line, looking for Ctrl-C this often

std::string readText(const std::string &path, bool &found)
{
    std::ifstream in(path, std::ios::binary);
    found = static_cast<bool>(in);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The file written whole or not at all: a check stopped while it writes
// keeps the results of the point before.
bool writeWhole(const std::string &path, const std::string &text)
{
    const std::string part = path + ".part";
    FILE *f = fopen(part.c_str(), "wb");
    const bool written = f && fwrite(text.data(), 1, text.size(), f) == text.size();
    if (!f || fclose(f) != 0 || !written) {
        fprintf(stderr, "veldran-host: loopcheck: cannot write %s: %s\n", part.c_str(), strerror(errno));
        return false;
    }
    remove(path.c_str()); // (Windows renames onto no file)
    if (rename(part.c_str(), path.c_str()) != 0) {
        fprintf(stderr, "veldran-host: loopcheck: cannot write %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    return true;
}

// The design, and the results so far: those of the results file where it
// exists, for the points the design has.  Says why on stderr when not.
bool loadCheck(const LoopcheckArgs &a, vsim::Plant &design, LoopResults &results)
{
    try {
        design = vsim::loadPlant(a.design);
    } catch (const vsim::PlantError &e) {
        fprintf(stderr, "veldran-host: loopcheck: %s\n", e.what());
        return false;
    }
    if (design.points.empty()) {
        fprintf(stderr, "veldran-host: loopcheck: %s has no points ([[point]] tables) to check\n", a.design.c_str());
        return false;
    }
    for (const std::string &t : a.tags) {
        bool known = false;
        for (const vsim::Point &p : design.points)
            known = known || p.tag == t;
        if (!known) {
            fprintf(stderr, "veldran-host: loopcheck: --tag %s: %s has no such point\n", t.c_str(), a.design.c_str());
            return false;
        }
    }
    LoopResults earlier;
    bool found = false;
    const std::string text = readText(a.results, found);
    json::Value v;
    std::string error;
    if (found && !(json::parse(text, v, error) && resultsFrom(v, earlier, error))) {
        fprintf(stderr, "veldran-host: loopcheck: %s: %s\n", a.results.c_str(), error.c_str());
        return false;
    }
    results = resultsFor(design, earlier);
    results.designFile = a.design;
    results.designSha = sha256OfFile(a.design).value_or("");
    if (found && !earlier.designSha.empty() && earlier.designSha != results.designSha)
        printf("loopcheck: %s changed since %s was begun; the results of its points by tag are kept\n",
               a.design.c_str(), a.results.c_str());
    return true;
}

// The script's lines (or standard input's) one at a time as they come,
// until they end or Ctrl-C.
void runScript(LoopCheck &check, int fd)
{
    std::string buf, line;
    char chunk[256];
    while (!check.over() && !stopRequested) {
        const size_t nl = buf.find('\n');
        if (nl != std::string::npos) {
            line = buf.substr(0, nl);
            buf.erase(0, nl + 1);
            printf("> %s\n", line.c_str());
            fflush(stdout);
            check.command(line);
            continue;
        }
        const int n = readInput(fd, chunk, sizeof chunk, SCRIPT_POLL_MS);
        if (n < 0 && buf.empty())
            break;
        if (n < 0)
            buf += '\n';
        else
            buf.append(chunk, static_cast<size_t>(n));
    }
}

std::string summaryOf(const LoopResults &r, const std::string &path)
{
    int counts[4] = {};
    const char *names[4] = {"passed", "failed", "skipped", "open"};
    for (const PointResult &p : r.points)
        for (int i = 0; i < 4; ++i)
            counts[i] += p.result == names[i];
    std::string s = "loopcheck: ";
    for (int i = 0; i < 4; ++i)
        s += std::to_string(counts[i]) + " " + names[i] + (i < 3 ? ", " : "");
    return s + "; results in " + path;
}

// The check on the loaded module, after Init.
void checkPoints(const LoopcheckArgs &a, const vsim::Plant &design, LoopResults &results, const FUNCDEF *table,
                 int scriptFd)
{
    PointIo io(table, design);
    const bool screen = scriptFd < 0;
    LoopScreen view(design, a.design, stdout);
    bool onScreen = false;
    LoopCheck::Setup setup;
    setup.engineer = a.engineer;
    setup.only = a.tags;
    setup.save = [&a](const LoopResults &r) { return writeWhole(a.results, json::write(resultsValue(r))); };
    setup.say = [&](const std::string &line) {
        if (onScreen)
            view.say(line);
        else
            printf("%s\n", line.c_str());
        fflush(stdout);
    };
    LoopCheck check(design, io, results, setup);
    if (!check.start()) {
        printf("loopcheck: every point %s is passed\n", a.tags.empty() ? "of the design" : "given");
        return;
    }
    if (screen) {
        onScreen = true;
        view.run(check, &stopRequested);
        onScreen = false;
    } else {
        runScript(check, scriptFd);
    }
    if (stopRequested)
        printf("loopcheck: interrupted\n");
    check.finish();
    setup.save(results);
}

} // namespace

CLI::App *addLoopcheckCommand(CLI::App &app, LoopcheckArgs &a)
{
    CLI::App *lc = app.add_subcommand("loopcheck", "check a design's points end to end: inputs read, outputs forced");
    lc->add_option("design", a.design, "the design (a plant file with [[point]] tables)")->required();
    addPortOption(lc, a.port);
    lc->add_option("--timeout", a.timeoutMs,
                   "the module's time-out in ms (default: the longest exchange of the design's points, with room)")
        ->check(CLI::Range(wire::TIMEOUT_MIN, wire::TIMEOUT_MAX));
    lc->add_option("--results", a.results, "the results file (default: the design's name, .loopcheck.json)");
    lc->add_option("--engineer", a.engineer, "who checks (default: the user's name)");
    lc->add_option("--tag", a.tags, "check only these points (more than one may be given)");
    lc->add_option("--script", a.script,
                   "the commands from this file, a line each (pass, fail NOTE, skip, set VALUE, read, next, back, "
                   "quit); without a terminal they come from standard input");
    return lc;
}

Exit runLoopcheck(const ModuleArgs &mod, LoopcheckArgs a)
{
    if (a.results.empty()) {
        const size_t dot = a.design.size() > 5 && a.design.compare(a.design.size() - 5, 5, ".toml") == 0
                               ? a.design.size() - 5
                               : a.design.size();
        a.results = a.design.substr(0, dot) + ".loopcheck.json";
    }
    const char *user = getenv("USER");
    if (a.engineer.empty() && user)
        a.engineer = user;
    vsim::Plant design;
    LoopResults results;
    if (!loadCheck(a, design, results))
        return EXIT_USAGE;
    FILE *script = a.script.empty() ? nullptr : fopen(a.script.c_str(), "rb");
    if (!a.script.empty() && !script) {
        fprintf(stderr, "veldran-host: loopcheck: cannot read %s: %s\n", a.script.c_str(), strerror(errno));
        return EXIT_USAGE;
    }
    int columns = 0, rows = 0;
    // The screen where both ends are a terminal, else the commands from
    // standard input.
    const int scriptFd = script ? fileno(script) : stdinTerminal() && stdoutTerminal(&columns, &rows) ? -1 : 0;
    loader::Module m;
    if (!openModule(mod, m))
        return EXIT_LOAD;
    hostsvc::useRealClock();
    hostsvc::captureConsole(true);
    const std::string options = designOptions(design, a.port, a.timeoutMs);
    noteDefaultDevice(a.port);
    printf("%s\nloopcheck: %s, %zu points, options %s\n", m.said.c_str(), a.design.c_str(), design.points.size(),
           options.c_str());
    ERRCODE ec = loader::sendInit(m, &options, true);
    std::string said = hostsvc::takeConsole();
    if (ec != 0) {
        printf("%sInit failed: %s\n", said.c_str(), errorLabel(ec).c_str());
        loader::sendDeinstall(m);
        loader::closeModule(m);
        return EXIT_INIT;
    }
    stopOnSignals();
    checkPoints(a, design, results, m.table, scriptFd);
    printf("%s\n", summaryOf(results, a.results).c_str());
    if (script)
        fclose(script);
    loader::sendDeinstall(m);
    hostsvc::takeConsole();
    const bool stopped = loader::moduleStopped(m);
    loader::closeModule(m);
    return stopped ? EXIT_LOAD : stopRequested ? EXIT_INTERRUPTED : EXIT_OK;
}

} // namespace vhost
