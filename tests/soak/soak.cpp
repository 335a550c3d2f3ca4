// Soak test: the module, natively, against the module simulator over a real
// pseudo-terminal, with line faults injected at random.
//
// The module is linked in with the test host's services on the real clock
// and the POSIX serial library; veldran-sim answers on the pty as a line of
// nine modules, one of each model.  Every exchange calls one of the fifteen
// instructions; for one exchange in five the simulator is told to spoil the
// next reply of the module addressed (silence, refusal, noise before the
// start character, wrong or lower-case checksum, truncation, an extra
// character, a late reply, no carriage return, or a reply in pieces).
//
// Each exchange must end with exactly the code that the reference model
// gives for the bytes the fault puts on the line (time-out for the faults
// that withhold the carriage return in time), with every operand holding
// what the model says (unchanged on failure), within its time-out plus a
// small margin.  A late reply is left to arrive in the receive queue, so the
// next exchange has to cope with it.
//
//   veldran-soak [--exchanges N] [--seconds S] [--seed N] [--checksum]
//                [--timeout MS] [--margin MS] [--quiet]
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "TLMUSR.h"
#include "comm.h"
#include "harness.h"
#include "hostsvc.h"
#include "instr_model.h"
#include "model.h"
#include "module.h"
#include "sim_process.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    long exchanges = 20000;
    double seconds = 240;
    unsigned long seed = 1;
    bool checksum = false;
    int timeout = 20;
    int margin = 25;
    bool quiet = false;
};

Options parseOptions(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> const char * {
            if (i + 1 >= argc) {
                fprintf(stderr, "soak: %s needs a value\n", a.c_str());
                exit(2);
            }
            return argv[++i];
        };
        if (a == "--exchanges")
            o.exchanges = atol(next());
        else if (a == "--seconds")
            o.seconds = atof(next());
        else if (a == "--seed")
            o.seed = strtoul(next(), nullptr, 10);
        else if (a == "--checksum")
            o.checksum = true;
        else if (a == "--timeout")
            o.timeout = atoi(next());
        else if (a == "--margin")
            o.margin = atoi(next());
        else if (a == "--quiet")
            o.quiet = true;
        else {
            fprintf(stderr, "soak: unknown argument %s\n", a.c_str());
            exit(2);
        }
    }
    return o;
}

// The plant: one module of each model, constant inputs, so that every clean
// reply is the same on every run.
std::string plantText(bool checksum)
{
    const char *cs = checksum ? "true" : "false";
    std::string t = "[line]\nbaud = 115200\nturnaround_ms = 1\n";
    auto mod = [&](const std::string &body) { t += "\n[[module]]\n" + body + "checksum = " + cs + "\n"; };
    mod("address = 1\nmodel = 7017\nformat = \"decimal\"\n"
        "ain = [1.0, 2.5, -3.25, 0.0, 5.123, -10.5, 9.999, 0.25]\n");
    mod("address = 2\nmodel = 7018\nformat = \"hex\"\nfull_scale = 100.0\n"
        "ain = [25.0, 50.0, 12.5, 0.0, 0.0, 100.0, -25.0, 12.5]\n");
    mod("address = 3\nmodel = 7024\naout = [0.0, 0.0, 0.0, 0.0]\nsafe_aout = [0.0, 0.0, 0.0, 0.0]\n");
    mod("address = 4\nmodel = 7041\ndin = 0x2A55\ncounters = [0, 291, 70000]\n");
    mod("address = 5\nmodel = 7043\ndout = 0x0000\nsafe_dout = 0x0000\n");
    mod("address = 6\nmodel = 7052\ndin = 0xA5\n");
    mod("address = 7\nmodel = 7053\ndin = 0x1234\n");
    mod("address = 8\nmodel = 7060\ndin = 0x1\ndout = 0x0\n");
    mod("address = 9\nmodel = 7065\ndin = 0x3\ndout = 0x00\n");
    return t;
}

// Operands of each instruction, and the command text of each of its
// exchanges (to learn the clean replies).
struct Plan {
    int addr;
    std::vector<std::pair<uint32_t, uint8_t>> operands; // val, isfloat
    std::vector<std::string> commands;
};

uint32_t word(int v) { return static_cast<uint32_t>(static_cast<uint16_t>(v)); }
uint32_t flt(float f)
{
    uint32_t u;
    memcpy(&u, &f, 4);
    return u;
}

std::vector<Plan> plans()
{
    return {
        {1, {{word(1), 0}, {word(0), 0}, {0, 1}, {0, 0}}, {"#01"}},                   // I7017
        {2, {{word(2), 0}, {word(2), 0}, {0, 0}, {0, 0}, {0, 0}}, {"#02"}},           // I7018 (hex, words)
        {3, {{word(3), 0}, {word(1), 0}, {flt(5.0f), 1}, {0, 0}}, {"#031+05.000"}},   // I7024
        {4, {{word(4), 0}, {word(0x0F0F), 0}, {0, 0}, {0, 0}}, {"@04"}},              // I7041
        {5, {{word(5), 0}, {word(0x1234), 0}, {0, 0}}, {"@051234"}},                  // I7043
        {6, {{word(6), 0}, {0, 0}, {0, 0}}, {"@06"}},                                 // I7052
        {7, {{word(7), 0}, {word(-1), 0}, {0, 0}, {0, 0}}, {"@07"}},                  // I7053
        {8, {{word(8), 0}, {word(0x13), 0}, {0, 0}, {0, 0}}, {"@083", "@08"}},        // I7060
        {9, {{word(9), 0}, {word(0x13), 0}, {0, 0}, {0, 0}}, {"@0913", "@09"}},       // I7065
        {4, {{word(4), 0}, {word(1), 0}, {0, 1}, {0, 0}}, {"#041"}},                  // I7RDC
        {4, {{word(4), 0}, {word(0), 0}, {0, 0}}, {"$04C0"}},                         // I7CDC
        {7, {{word(7), 0}, {0, 0}}, {"~071"}},                                        // I7RSMS
        {6, {{word(6), 0}, {0, 0}, {0, 0}}, {"~060"}},                                // I7RDMS
        {5, {{word(5), 0}, {word(255), 0}, {0, 0}}, {"~0531FF"}},                     // I7SHWV
        {-1, {{0, 0}}, {}},                                                           // I7HOK
    };
}

enum Kind { NONE, SILENCE, REFUSE, NOISE, BADSUM, LOWERSUM, TRUNCATE, EXTRA, LATE, NOCR, SPLIT, KINDS };
const char *kindName[KINDS] = {"none",     "silence", "refuse", "noise", "badsum", "lowersum",
                               "truncate", "extra",   "late",   "nocr",  "split"};

// The clean reply's bytes (without the carriage return) as the fault puts
// them on the line; `timely` false when no carriage return comes in time.
std::string spoil(Kind k, const std::string &clean, int addr, bool checksum, bool *timely)
{
    *timely = true;
    switch (k) {
    case SILENCE:
    case LATE:
    case NOCR:
        *timely = false;
        return "";
    case REFUSE: {
        std::string body = "?" + model::addrField(addr);
        return checksum ? body + model::sumOf(body) : body;
    }
    case BADSUM: {
        if (!checksum || clean.size() < 2)
            return clean;
        std::string data = clean.substr(0, clean.size() - 2);
        unsigned s = 0;
        for (unsigned char c : data)
            s += c;
        return data + model::hex2((s + 1) & 0xFF);
    }
    case LOWERSUM: {
        std::string r = clean;
        if (checksum && r.size() >= 2)
            for (size_t i = r.size() - 2; i < r.size(); ++i)
                if (r[i] >= 'A' && r[i] <= 'F')
                    r[i] = static_cast<char>(r[i] - 'A' + 'a');
        return r;
    }
    case TRUNCATE: {
        size_t keep = clean.size() / 2;
        if (!clean.empty() && keep > clean.size() - 1)
            keep = clean.size() - 1;
        return clean.substr(0, keep);
    }
    case EXTRA:
        return clean + "0";
    default: // noise and split leave what the module takes unchanged
        return clean;
    }
}

// Characters of a refusal on the line, carriage return included.
size_t refusalLength(int addr, bool checksum)
{
    bool timely;
    return spoil(REFUSE, "", addr, checksum, &timely).size() + 1;
}

model::Script scriptOf(const std::string &bytes, bool timely)
{
    model::Script s;
    if (!timely)
        return s;
    for (char c : bytes)
        s.push_back({0, c});
    s.push_back({0, '\r'});
    return s;
}

// One command sent and its reply read straight off the line, bypassing the
// module: what a clean reply looks like.
bool rawReply(const std::string &text, bool checksum, std::string *reply)
{
    std::string line = model::frame(text, checksum);
    _COMxmitclear(port);
    _COMrcvclear(port);
    if (_COMwrite(port, line.data(), static_cast<int32_t>(line.size())) == 0)
        return false;
    auto deadline = Clock::now() + std::chrono::seconds(2);
    reply->clear();
    while (Clock::now() < deadline) {
        if (_COMrcvqueue(port) <= 0)
            continue; // the library waits briefly for input itself
        char c = static_cast<char>(_COMgetc(port));
        if (c == '\r')
            return true;
        reply->push_back(c);
    }
    return false;
}

// Waits until at least n characters have arrived in the receive queue.
bool awaitQueued(int n)
{
    auto deadline = Clock::now() + std::chrono::seconds(2);
    while (Clock::now() < deadline)
        if (_COMrcvqueue(port) >= n)
            return true;
    return false;
}

ERRCODE request(int32_t code, const char *options)
{
    struct req_init r;
    memset(&r, 0, sizeof r);
    r.cmdcode = code;
    r.dispatcher = hostsvc::dispatcher();
    return _main(&r, const_cast<char *>(options));
}

} // namespace

int main(int argc, char **argv)
{
    Options opt = parseOptions(argc, argv);
    char dir[] = "/tmp/veldran-soak-XXXXXX";
    if (!mkdtemp(dir)) {
        perror("soak: mkdtemp");
        return 2;
    }
    std::string plant = std::string(dir) + "/plant.toml";
    std::ofstream(plant) << plantText(opt.checksum);

    vsim::SimProcess sim;
    vsim::SimOptions so;
    so.binary = VELDRAN_SIM_BINARY;
    so.plant = plant;
    so.quiet = true;
    so.extra = {"--baud", "115200", "--seed", std::to_string(opt.seed)};
    std::string error;
    if (!sim.start(so, &error)) {
        fprintf(stderr, "soak: the simulator did not start: %s\n", error.c_str());
        return 2;
    }
    setenv("VELDRAN_COM1", sim.slavePath().c_str(), 1);

    hostsvc::use_real_clock();
    hostsvc::capture_console(true);
    std::string options = "COMPORT=1 BAUD=1152 TIMEOUT=" + std::to_string(opt.timeout);
    if (opt.checksum)
        options += " CHECKSUM";
    if (request(REQ_INIT, options.c_str()) != EC_OK) {
        fprintf(stderr, "soak: Init failed: %s\n", hostsvc::take_console().c_str());
        return 2;
    }
    struct req_setmode sm = {REQ_SETMODE, nullptr, 2};
    _main(&sm, nullptr);
    hostsvc::take_console();

    // The clean replies, in the order of each instruction's exchanges.
    std::vector<Plan> plan = plans();
    std::vector<std::vector<std::string>> clean(plan.size());
    for (size_t i = 0; i < plan.size(); ++i)
        for (const std::string &cmd : plan[i].commands) {
            std::string r;
            if (!rawReply(cmd, opt.checksum, &r)) {
                fprintf(stderr, "soak: no clean reply to %s\n", cmd.c_str());
                return 2;
            }
            clean[i].push_back(r);
        }

    std::mt19937_64 rng(opt.seed);
    std::map<std::string, long> perKind, perCode, perInstruction;
    long failures = 0, exchanges = 0;
    double worstOverMs = -1e9;
    // The model sees every character at once and has ample time for them.
    model::Env env{opt.checksum, false, {1000, 1}};
    static fz::Guarded<imodel::AREA> area[5];
    auto started = Clock::now();
    double controlMs = 0, callMs = 0, waitMs = 0;
    Kind previous = NONE;
    int previousIns = 14;

    for (; exchanges < opt.exchanges; ++exchanges) {
        if (std::chrono::duration<double>(Clock::now() - started).count() > opt.seconds)
            break;
        int ins = static_cast<int>(rng() % 15);
        const Plan &p = plan[static_cast<size_t>(ins)];
        Kind kind = NONE;
        if (ins != 14 && rng() % 5 == 0) {
            static const Kind plain[] = {SILENCE, REFUSE, NOISE, TRUNCATE, EXTRA, LATE, NOCR, SPLIT};
            static const Kind summed[] = {SILENCE, REFUSE,   NOISE, BADSUM, LOWERSUM,
                                          TRUNCATE, EXTRA,  LATE,  NOCR,   SPLIT};
            kind = opt.checksum ? summed[rng() % 10] : plain[rng() % 8];
        }
        if (kind != NONE) {
            std::string cmd = "fault " + std::to_string(p.addr) + " " + kindName[kind] + " count=1";
            if (kind == LATE)
                cmd += " delay=" + std::to_string(3 * opt.timeout);
            if (kind == SPLIT)
                cmd += " pieces=3 delay=2";
            auto tc = Clock::now();
            auto r = sim.command(cmd);
            controlMs += std::chrono::duration<double, std::milli>(Clock::now() - tc).count();
            if (!r || r->compare(0, 2, "OK") != 0) {
                fprintf(stderr, "soak: the simulator refused \"%s\": %s\n", cmd.c_str(), r ? r->c_str() : "(nothing)");
                return 2;
            }
        }

        // Operands, and what the model says they must hold afterwards.
        TLIPARAM recs[5];
        memset(recs, 0, sizeof recs);
        std::vector<std::vector<uint8_t>> before;
        for (int i = 0; i < 5; ++i) {
            area[i].fill(static_cast<uint8_t>(rng()));
            if (i < static_cast<int>(p.operands.size())) {
                recs[i].val.hls = p.operands[static_cast<size_t>(i)].first;
                recs[i].isfloat = p.operands[static_cast<size_t>(i)].second;
            }
            recs[i].ptr.fptr = reinterpret_cast<float *>(area[i].data);
            before.emplace_back(area[i].data, area[i].data + imodel::AREA);
        }
        bool timely = true;
        model::Script s1, s2;
        const std::vector<std::string> &c = clean[static_cast<size_t>(ins)];
        if (!c.empty()) {
            std::string wire = spoil(kind, c[0], p.addr, opt.checksum, &timely);
            s1 = scriptOf(wire, timely);
        }
        if (c.size() > 1)
            s2 = scriptOf(c[1], true);
        imodel::Expect want = imodel::modelOf(ins, recs, env, s1, s2, 0, before);

        auto t0 = Clock::now();
        function_table[ins].fnc_ptr(1, function_table[ins].fnc_numargs, recs);
        double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        hostsvc::take_console();
        callMs += ms;

        uint16_t code;
        memcpy(&code, area[want.errCode].data, 2);
        bool right = code == want.code;
        for (int i = 0; i < 5; ++i)
            right = right && area[i].guardsIntact() &&
                    memcmp(area[i].data, want.areas[static_cast<size_t>(i)].data(), imodel::AREA) == 0;
        int ops = (ins == 7 || ins == 8) ? 2 : 1;
        double over = ms - ops * opt.timeout;
        if (over > worstOverMs)
            worstOverMs = over;
        bool inTime = over <= opt.margin;
        if (!right || !inTime) {
            ++failures;
            fprintf(stderr, "soak: exchange %ld %s fault %s (previous: %s %s): code %u (model %u)%s, %.1f ms%s\n",
                    exchanges, imodel::names[ins], kindName[kind], imodel::names[previousIns], kindName[previous],
                    code, want.code, right ? "" : " MISCLASSIFIED", ms, inTime ? "" : " TOO LONG");
        }
        previous = kind;
        previousIns = ins;
        ++perKind[kindName[kind]];
        ++perCode[std::to_string(code)];
        ++perInstruction[imodel::names[ins]];

        // What the module left on the line is let arrive, to lie in the
        // receive queue when the next exchange begins (which must empty
        // it): a late reply, and the rest of a refusal that the operation
        // reported at its "?" without waiting for the carriage return.
        int leftover = 0;
        if (kind == LATE)
            leftover = static_cast<int>(c[0].size()) + 1;
        if (kind == REFUSE && ins > 2)
            leftover = static_cast<int>(refusalLength(p.addr, opt.checksum)) - 1;
        auto tw = Clock::now();
        bool arrived = leftover <= 0 || awaitQueued(leftover);
        waitMs += std::chrono::duration<double, std::milli>(Clock::now() - tw).count();
        if (!arrived) {
            ++failures;
            fprintf(stderr, "soak: exchange %ld: the rest of the %s reply never arrived\n", exchanges,
                    kindName[kind]);
        }
    }
    double secs = std::chrono::duration<double>(Clock::now() - started).count();

    request(REQ_DEINSTALL, nullptr);
    sim.command("quit");
    sim.wait(3000);
    unlink(plant.c_str());
    rmdir(dir);

    printf("soak: %ld exchanges in %.1f s, checksums %s, time-out %d ms, seed %lu: %ld wrong\n", exchanges, secs,
           opt.checksum ? "on" : "off", opt.timeout, opt.seed, failures);
    if (!opt.quiet) {
        printf("  per fault:");
        for (auto &k : perKind)
            printf(" %s=%ld", k.first.c_str(), k.second);
        printf("\n  per code:");
        for (auto &k : perCode)
            printf(" %s=%ld", k.first.c_str(), k.second);
        printf("\n  per instruction:");
        for (auto &k : perInstruction)
            printf(" %s=%ld", k.first.c_str(), k.second);
        printf("\n  time: %.0f ms in instruction calls, %.0f ms in simulator control, %.0f ms waiting for "
               "leftovers\n",
               callMs, controlMs, waitMs);
        printf("  longest exchange: %.1f ms beyond its time-out(s) (margin %d ms)\n", worstOverMs, opt.margin);
    }
    return failures == 0 && exchanges > 0 ? 0 : 1;
}
