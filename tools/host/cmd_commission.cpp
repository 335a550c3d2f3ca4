// commission: a line brought to its design.  The line is surveyed (through
// the module, at the design's speeds and the INIT speed) and identified;
// each designed module not yet as designed is brought up alone through
// INIT mode (the engineer grounds its INIT wire and powers it up, configure
// writes and reads back at 00h, the engineer takes the wire off and powers
// it up again, and it is verified at its own address and speed); then the
// whole line is checked against the design and the as-built record
// written.  The state is the line itself: a run that stopped is taken up
// again by the next, from what answers.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "commands.h"
#include "commission.h"
#include "identify.h"
#include "sha256.h"
#include "timestamp.h"
#include "wire_format.h"

namespace vhost {

namespace {

// How often a module just powered up is asked before it is taken for one
// that does not answer.
constexpr int READS = 3;

std::string hexAddress(int address) { return wire::hex2(static_cast<unsigned>(address)) + "h"; }

// Ends a step with what the engineer is to do; the status to end with.
Exit stop(const std::string &why, Exit status)
{
    fflush(stdout);
    fprintf(stderr, "veldran-host: commission: %s\n", why.c_str());
    return status;
}

LineOptions lineOptions(const CommissionArgs &a)
{
    LineOptions o;
    o.port = a.port;
    o.timeoutMs = a.timeoutMs;
    return o;
}

// A bench step: said to the engineer, then waited for (Enter), or done by
// the step hook, run by the shell with the step's words after it
// ("init 05 1", "power 05": the module that will be 05h).
bool benchStep(const CommissionArgs &a, const std::string &what, const std::vector<std::string> &words, Exit &status)
{
    const bool wait = !a.yes && a.stepHook.empty();
    printf("  %s%s\n", what.c_str(), wait ? ", press Enter" : "");
    fflush(stdout);
    for (const std::string &w : a.stepHook.empty() ? std::vector<std::string>{} : words) {
        const int rc = std::system((a.stepHook + " " + w).c_str());
        if (rc != 0) {
            status = stop("the step hook failed (status " + std::to_string(rc) + ") at \"" + w +
                              "\": do that step by hand, then run commission again",
                          EXIT_LINE);
            return false;
        }
    }
    std::string line;
    if (wait && !std::getline(std::cin, line)) {
        status = stop("end of input before the step was done; run commission again to go on", EXIT_INTERRUPTED);
        return false;
    }
    return true;
}

// The survey's speeds: the design's the driver can survey at, and the INIT
// speed, at which factory-fresh modules answer.
std::vector<int> surveySpeeds(const std::vector<DesignedModule> &design)
{
    std::set<int> codes = {wire::INIT_BAUD / 100};
    for (const DesignedModule &d : design)
        if (std::count(std::begin(wire::BAUD_CODES), std::end(wire::BAUD_CODES), d.baud / 100) && d.baud % 100 == 0)
            codes.insert(d.baud / 100);
    return {codes.begin(), codes.end()};
}

// What answers on the line: survey, then identify of each module found;
// addresses where only garbled replies came are on it too.
Exit readLine(const ModuleArgs &mod, const CommissionArgs &a, const std::vector<DesignedModule> &design,
              std::vector<LineModule> &line)
{
    SurveyOptions opt;
    opt.port = a.port;
    opt.bauds = surveySpeeds(design);
    opt.first = a.from;
    opt.last = a.to;
    std::vector<SurveyFind> found;
    std::vector<SurveyGarbled> garbled;
    const Exit st = surveyThroughModule(mod, opt, found, garbled, false);
    if (st != EXIT_OK && st != EXIT_NO_ANSWER)
        return st;
    printf("the line now (addresses %s to %s):\n", hexAddress(a.from).c_str(), hexAddress(a.to).c_str());
    std::vector<ModuleIdentity> ids;
    if (identifyFound(lineOptions(a), found, ids) == EXIT_LINE)
        return EXIT_LINE;
    line.clear();
    std::set<int> answered;
    for (const ModuleIdentity &id : ids) {
        line.push_back(lineModule(id, designedAt(design, id.address)));
        answered.insert(id.address);
    }
    for (const SurveyGarbled &g : garbled)
        if (answered.insert(g.addr).second) {
            line.push_back(garbledModule(g.addr));
            printf("%-5s %s\n", hexAddress(g.addr).c_str(), garbledAnswer(g.addr).c_str());
        }
    if (line.empty())
        printf("no module answers\n");
    return EXIT_OK;
}

// The module in INIT mode at 00h: one module only, of the designed model.
Exit checkInitModule(const CommissionArgs &a, const DesignedModule &d)
{
    LineClient line(a.port);
    std::string error;
    if (!line.open(wire::INIT_BAUD, error))
        return stop(error, EXIT_LINE);
    const Reach at{INIT_ADDRESS, wire::INIT_BAUD, false};
    // A module just powered up may miss the first command; a second module
    // in INIT mode garbles every reply.
    bool garbled = false;
    std::optional<Configuration> cfg;
    for (int tries = 0; tries < READS && !cfg; ++tries) {
        Heard heard = Heard::Nothing;
        cfg = readConfiguration(line, at, a.timeoutMs, &heard);
        garbled = garbled || heard == Heard::Garbled;
    }
    if (!cfg && garbled)
        return stop("more than one module answers at 00h: ground the INIT wire of one module only", EXIT_NO_ANSWER);
    if (!cfg)
        return stop("nothing answers at 00h at " + std::to_string(wire::INIT_BAUD) +
                        " baud: ground the INIT wire of the module that will be " + hexAddress(d.address) +
                        ", power it up, and run commission again",
                    EXIT_NO_ANSWER);
    const std::string name = readText(line, at, 'M', a.timeoutMs);
    const auto model = modelOf(name, cfg->type);
    if (model && *model != d.model) {
        const std::string is = std::to_string(vsim::modelInfo(*model).number);
        return stop("the module in INIT mode is a " + is + "; " + hexAddress(d.address) + " is designed as a " +
                        d.modelText() + ": take its INIT wire off ground and power it up again, then ground the " +
                        "INIT wire of the " + d.modelText() + " that will be " + hexAddress(d.address) +
                        " and run commission again",
                    EXIT_NO_ANSWER);
    }
    if (!model)
        printf("  the module in INIT mode, named '%s' (type %s), does not tell its model: make sure it is a %s\n",
               name.c_str(), wire::hex2(cfg->type).c_str(), d.modelText().c_str());
    return EXIT_OK;
}

// The module verified at its own address and speed after its power-up.
Exit verifyModule(const CommissionArgs &a, const DesignedModule &d)
{
    LineClient line(a.port);
    LineOptions probe = lineOptions(a);
    probe.baud = d.baud;
    probe.checksum = d.checksum ? 1 : 0;
    std::string error;
    std::optional<Reach> at;
    for (int tries = 0; tries < READS && !at; ++tries)
        if (at = findModule(line, probe, d.address, error, nullptr); !error.empty())
            return stop(error, EXIT_LINE);
    auto id = at ? identityAt(line, *at, a.timeoutMs) : std::nullopt;
    if (!id)
        return stop(hexAddress(d.address) + " does not answer at " + d.settings() +
                        " after its power-up: check that its INIT wire is off ground and that it was powered up "
                        "again, then run commission again",
                    EXIT_LINE);
    const LineModule found = lineModule(*id, &d);
    const std::vector<Difference> diffs = differencesOf(d, &found);
    for (const Difference &x : diffs)
        printf("  %s\n", differenceText(x).c_str());
    if (!diffs.empty())
        return stop("read back at " + hexAddress(d.address) + ", the module is not as designed", EXIT_LINE);
    printf("  verified: %s answers as designed: %s, %s\n", hexAddress(d.address).c_str(), d.label().c_str(),
           d.settings().c_str());
    return EXIT_OK;
}

ConfigureOptions initChange(const DesignedModule &d)
{
    ConfigureOptions c;
    c.address = std::to_string(d.address);
    c.baud = std::to_string(d.baud);
    c.checksum = d.checksum ? "on" : "off";
    c.format = d.format;
    c.name = d.name;
    c.init = true;
    return c;
}

// One designed module brought up: INIT on, configure at 00h, INIT off,
// verified where it is to answer.
Exit commissionModule(const CommissionArgs &a, const DesignedModule &d, const LineModule *found, bool inInit)
{
    const std::string aa = hexAddress(d.address);
    printf("\n%s: %s, %s\n", aa.c_str(), d.label().c_str(), d.settings().c_str());
    for (const Difference &x : differencesOf(d, found))
        printf("  now: %s\n", differenceText(x).c_str());
    const std::string words = wire::hex2(static_cast<unsigned>(d.address));
    Exit st = EXIT_OK;
    if (inInit)
        printf("  a module answers at 00h, in INIT mode: taken for the module that will be %s\n", aa.c_str());
    else if (!benchStep(a,
                        "ground the INIT wire of the module that will be " + aa + " (" + d.label() + "), power it up",
                        {"init " + words + " 1", "power " + words}, st))
        return st;
    if ((st = checkInitModule(a, d)) != EXIT_OK)
        return st;
    fflush(stdout);
    if ((st = configureCommand(lineOptions(a), INIT_ADDRESS, initChange(d))) != EXIT_OK)
        return stop("the module that will be " + aa + " is still in INIT mode: see above, then run commission again",
                    st);
    if (!benchStep(a, "remove the INIT wire of the module that will be " + aa + ", power it up again",
                   {"init " + words + " 0", "power " + words}, st))
        return st;
    return verifyModule(a, d);
}

// Each designed module that is not as designed, in the design's order;
// `changed` says whether any was.
Exit bringUp(const CommissionArgs &a, const std::vector<DesignedModule> &design, const std::vector<LineModule> &line,
             bool &changed)
{
    changed = false;
    auto at = [&line](int address) -> const LineModule * {
        for (const LineModule &m : line)
            if (m.address == address)
                return &m;
        return nullptr;
    };
    std::vector<const DesignedModule *> todo;
    for (const DesignedModule &d : design)
        if (!differencesOf(d, at(d.address)).empty())
            todo.push_back(&d);
    if (todo.empty())
        return EXIT_OK;
    printf("\n%zu of %zu designed modules to bring up, one at a time through INIT mode:", todo.size(), design.size());
    for (const DesignedModule *d : todo)
        printf(" %s", hexAddress(d->address).c_str());
    printf("\n");
    // A module in INIT mode already (its INIT wire grounded before the run,
    // or a run that stopped before the wire came off) is the first one's.
    bool inInit = at(INIT_ADDRESS) != nullptr;
    for (const DesignedModule *d : todo) {
        const Exit st = commissionModule(a, *d, at(d->address), std::exchange(inInit, false));
        if (st != EXIT_OK)
            return st;
        changed = true;
    }
    return EXIT_OK;
}

// The line against the design, the differences listed, the as-built record
// written.
Exit closingCheck(const CommissionArgs &a, const std::vector<DesignedModule> &design,
                  const std::vector<LineModule> &line, bool nothingDone)
{
    const std::vector<Difference> diffs = differences(design, line);
    printf("\nthe line against the design %s:\n", a.design.c_str());
    if (diffs.empty())
        printf("%s\n", nothingDone && !a.check ? "the line is as designed: nothing to do"
                                               : "the line is as designed: no differences");
    for (const Difference &d : diffs)
        printf("  %s\n", differenceText(d).c_str());
    AsBuilt r;
    r.date = isoTimestamp();
    r.port = "COM" + std::to_string(a.port);
    r.designFile = a.design;
    r.designSha256 = sha256OfFile(a.design).value_or("");
    r.line = line;
    r.differences = diffs;
    const std::string path = a.record.empty() ? defaultRecordPath(a.design) : a.record;
    const std::string text = asBuiltJson(r);
    FILE *f = fopen(path.c_str(), "wb");
    const bool written = f && fwrite(text.data(), 1, text.size(), f) == text.size();
    if (!f || fclose(f) != 0 || !written)
        return stop("cannot write " + path + ": " + strerror(errno), EXIT_USAGE);
    printf("as-built record written to %s\n", path.c_str());
    return diffs.empty() ? EXIT_OK : EXIT_NO_ANSWER;
}

} // namespace

CLI::App *addCommissionCommand(CLI::App &app, CommissionArgs &a)
{
    CLI::App *cmd = app.add_subcommand(
        "commission", "bring the line to its design: each module through INIT mode, then the line checked");
    cmd->add_option("design", a.design, "the design: a plant file of the line as it is to be")->required();
    addPortOption(cmd, a.port);
    cmd->add_option("--from", a.from, "first address surveyed")->check(CLI::Range(0, 255))->capture_default_str();
    cmd->add_option("--to", a.to, "last address surveyed")->check(CLI::Range(0, 255))->capture_default_str();
    cmd->add_option("--timeout", a.timeoutMs, "ms to wait for a reply's next byte (identify, configure)")
        ->check(CLI::Range(5, 5000))
        ->capture_default_str();
    cmd->add_flag("--yes", a.yes, "print each bench step and go on without waiting for Enter");
    cmd->add_flag("--check", a.check, "only check the line against the design, changing nothing");
    cmd->add_option("--record", a.record, "the as-built record (default: the design's name, .as-built.json)");
    cmd->add_option("--step-hook", a.stepHook,
                    "a command run for each bench step, the step's words after it: init AA 1|0, power AA");
    return cmd;
}

Exit runCommission(const ModuleArgs &mod, const CommissionArgs &a)
{
    if (a.from > a.to)
        return stop("--from " + std::to_string(a.from) + " is above --to " + std::to_string(a.to), EXIT_USAGE);
    vsim::Plant plant;
    try {
        plant = vsim::loadPlant(a.design);
    } catch (const vsim::PlantError &e) {
        return stop(e.what(), EXIT_USAGE);
    }
    std::string error;
    const std::vector<DesignedModule> design = designedModules(plant, error);
    if (design.empty())
        return stop(error.empty() ? a.design + " has no module" : a.design + ": " + error, EXIT_USAGE);
    printf("design: %s: %zu modules, %zu points\n", a.design.c_str(), design.size(), plant.points.size());
    std::vector<LineModule> line;
    Exit st = readLine(mod, a, design, line);
    if (st != EXIT_OK)
        return st;
    bool changed = false;
    if (!a.check && (st = bringUp(a, design, line, changed)) != EXIT_OK)
        return st;
    if (changed && (st = readLine(mod, a, design, line)) != EXIT_OK)
        return st;
    return closingCheck(a, design, line, !changed);
}

} // namespace vhost
