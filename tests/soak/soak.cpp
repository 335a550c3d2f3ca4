// Soak test: the module, natively, against the module simulator over a real
// pseudo-terminal, with line faults injected at random.
//
// The module is linked in with the test host's services on the real clock
// and the POSIX serial library; veldran-sim answers on the pty as a line of
// nine modules, one of each model, each with values of its own.  Every
// exchange calls one of the fifteen instructions; for one exchange in five
// the simulator is told to spoil the next reply of the module addressed
// (silence, refusal, noise before the start character, wrong or lower-case
// checksum, truncation, an extra character, a late reply, no carriage
// return, a reply in pieces, or a babble of garbage).
//
// The line is shared as a real two-wire line is: nothing waits for what a
// fault leaves on it (the rest of a refusal reported at its "?", a reply
// still under way at the time-out, a babble), so the next exchange may
// collide with it, and the simulator garbles both.  An exchange that starts
// while the line may still carry such a transmission is "unsettled": its
// code must be one its instruction can return, within two time-outs per
// operation.  Every other exchange must end with exactly the code that the
// reference model gives for the bytes the fault puts on the line, with every
// operand holding what the model says (unchanged on failure), within its
// time-out plus a small margin.
//
// Every exchange, unsettled or not, that delivers values with code 0 (or
// 1018, for the channels it marks as read) must deliver those of the module
// addressed: a value from another module (misattributed) or no module's at
// all (corrupted) is a failure.
//
//   veldran-soak [--exchanges N] [--seconds S] [--seed N] [--checksum]
//                [--baud N] [--timeout MS] [--margin MS] [--sim-log FILE] [--quiet]
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
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
#include "guarded.h"
#include "hostsvc.h"
#include "instr_model.h"
#include "model.h"
#include "module.h"
#include "records.h"
#include "sim_process.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    long exchanges = 20000;
    double seconds = 240;
    unsigned long seed = 1;
    bool checksum = false;
    long baud = 19200;
    int timeout = 0; // 0: suited to the baud rate
    int margin = 25;
    bool quiet = false;
    std::string log; // the simulator's log
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
        else if (a == "--baud")
            o.baud = atol(next());
        else if (a == "--timeout")
            o.timeout = atoi(next());
        else if (a == "--margin")
            o.margin = atoi(next());
        else if (a == "--sim-log")
            o.log = next();
        else if (a == "--quiet")
            o.quiet = true;
        else {
            fprintf(stderr, "soak: unknown argument %s\n", a.c_str());
            exit(2);
        }
    }
    if (o.baud != 9600 && o.baud != 19200 && o.baud != 38400 && o.baud != 57600 && o.baud != 115200) {
        fprintf(stderr, "soak: --baud must be 9600, 19200, 38400, 57600 or 115200\n");
        exit(2);
    }
    // The longest reply (58 characters) and a half again, and 10 ms.
    if (o.timeout <= 0)
        o.timeout = static_cast<int>(58 * 10000 / o.baud * 3 / 2 + 10);
    return o;
}

// Milliseconds one character takes on the line.
double charMs(const Options &o) { return 10000.0 / static_cast<double>(o.baud); }

// The plant: one module of each model, constant inputs, so that every clean
// reply is the same on every run, and values that tell the modules apart
// (inputs, counters, status bytes).  Two modules answer after a longer
// turnaround, as slow modules do.
std::string plantText(bool checksum, long baud)
{
    const char *cs = checksum ? "true" : "false";
    std::string t = "[line]\nbaud = " + std::to_string(baud) + "\nturnaround_ms = 1\n";
    auto mod = [&](const std::string &body) { t += "\n[[module]]\n" + body + "checksum = " + cs + "\n"; };
    mod("address = 1\nmodel = 7017\nformat = \"decimal\"\n"
        "ain = [1.0, 2.5, -3.25, 0.0, 5.123, -10.5, 9.999, 0.25]\n");
    mod("address = 2\nmodel = 7018\nformat = \"hex\"\nfull_scale = 100.0\n"
        "ain = [25.0, 50.0, 12.5, 0.0, 0.0, 100.0, -25.0, 12.5]\n");
    mod("address = 3\nmodel = 7024\naout = [0.0, 0.0, 0.0, 0.0]\nsafe_aout = [0.0, 0.0, 0.0, 0.0]\n");
    mod("address = 4\nmodel = 7041\ndin = 0x2A55\ncounters = [0, 291, 70000]\nstatus = 0x40\n");
    mod("address = 5\nmodel = 7043\ndout = 0x0000\nsafe_dout = 0x0000\nstatus = 0x50\n");
    mod("address = 6\nmodel = 7052\ndin = 0xA5\ncounters = [6000, 6001]\nstatus = 0x60\nturnaround_ms = 3\n");
    mod("address = 7\nmodel = 7053\ndin = 0x1234\ncounters = [7000, 7001]\nstatus = 0x70\nturnaround_ms = 3\n");
    mod("address = 8\nmodel = 7060\ndin = 0x1\ndout = 0x0\nstatus = 0x80\n");
    mod("address = 9\nmodel = 7065\ndin = 0x3\ndout = 0x00\nstatus = 0x90\n");
    return t;
}

// Operands of each instruction, and the command text of each of its
// exchanges (to learn the clean replies).
struct Plan {
    int ins; // index in the function table
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
        {0, 1, {{word(1), 0}, {word(0), 0}, {0, 1}, {0, 0}}, {"#01"}},                 // I7017
        {1, 2, {{word(2), 0}, {word(2), 0}, {0, 0}, {0, 0}, {0, 0}}, {"#02"}},         // I7018 (hex, words)
        {2, 3, {{word(3), 0}, {word(1), 0}, {flt(5.0f), 1}, {0, 0}}, {"#031+05.000"}}, // I7024
        {3, 4, {{word(4), 0}, {word(0x0F0F), 0}, {0, 0}, {0, 0}}, {"@04"}},            // I7041
        {4, 5, {{word(5), 0}, {word(0x1234), 0}, {0, 0}}, {"@051234"}},                // I7043
        {5, 6, {{word(6), 0}, {0, 0}, {0, 0}}, {"@06"}},                               // I7052
        {6, 7, {{word(7), 0}, {word(-1), 0}, {0, 0}, {0, 0}}, {"@07"}},                // I7053
        {7, 8, {{word(8), 0}, {word(0x13), 0}, {0, 0}, {0, 0}}, {"@083", "@08"}},      // I7060
        {8, 9, {{word(9), 0}, {word(0x13), 0}, {0, 0}, {0, 0}}, {"@0913", "@09"}},     // I7065
        {9, 4, {{word(4), 0}, {word(1), 0}, {0, 1}, {0, 0}}, {"#041"}},                // I7RDC
        {9, 6, {{word(6), 0}, {word(1), 0}, {0, 1}, {0, 0}}, {"#061"}},                // I7RDC
        {9, 7, {{word(7), 0}, {word(0), 0}, {0, 1}, {0, 0}}, {"#070"}},                // I7RDC
        {10, 4, {{word(4), 0}, {word(0), 0}, {0, 0}}, {"$04C0"}},                      // I7CDC
        {11, 7, {{word(7), 0}, {0, 0}}, {"~071"}},                                     // I7RSMS
        {12, 6, {{word(6), 0}, {0, 0}, {0, 0}}, {"~060"}},                             // I7RDMS
        {12, 9, {{word(9), 0}, {0, 0}, {0, 0}}, {"~090"}},                             // I7RDMS
        {13, 5, {{word(5), 0}, {word(255), 0}, {0, 0}}, {"~0531FF"}},                  // I7SHWV
        {14, -1, {{0, 0}}, {}},                                                        // I7HOK
    };
}

enum Kind { NONE, SILENCE, REFUSE, NOISE, BADSUM, LOWERSUM, TRUNCATE, EXTRA, LATE, NOCR, SPLIT, BABBLE, KINDS };
const char *kindName[KINDS] = {"none",     "silence", "refuse", "noise", "badsum", "lowersum",
                               "truncate", "extra",   "late",   "nocr",  "split",  "babble"};

// The clean reply's bytes (without the carriage return) as the fault puts
// them on the line; `timely` false when no carriage return comes in time.
std::string spoil(Kind k, const std::string &clean, int addr, bool checksum, bool *timely)
{
    *timely = true;
    switch (k) {
    case SILENCE:
    case LATE:
    case NOCR:
    case BABBLE:
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
        unsigned s = static_cast<unsigned>(std::stoul(model::sumOf(data), nullptr, 16));
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

ERRCODE request(int32_t code, const char *options)
{
    struct req_init r = records::request(code, hostsvc::dispatcher());
    return _main(&r, const_cast<char *>(options));
}

} // namespace

// The analog reads' values: channel i of the "AIN:" area (floats for
// I7017, words for I7018 in the hex form).
bool sameChannel(int ins, const uint8_t *a, const uint8_t *b, int i)
{
    size_t n = ins == 0 ? 4 : 2;
    return memcmp(a + n * static_cast<size_t>(i), b + n * static_cast<size_t>(i), n) == 0;
}

// Whether the operands hold the values of the clean reply (`want`, the
// model's result for it).  With 1018 only the channels the I7018 marks as
// read are compared (the I7017 marks none, so nothing is).
bool valuesMatch(int ins, uint16_t code, const fz::Guarded<imodel::AREA> *area, const imodel::Expect &want)
{
    if (code != want.code && !(code == 1018 && (ins == 0 || ins == 1)))
        return false;
    if (code == 1018) {
        if (ins == 0)
            return true;
        uint16_t mask;
        memcpy(&mask, area[4].data, 2);
        for (int i = 0; i < 8; ++i)
            if (!(mask & (1u << i)) && !sameChannel(ins, area[2].data, want.areas[2].data(), i))
                return false;
        return true;
    }
    for (int i = 0; i < 5; ++i)
        if (memcmp(area[i].data, want.areas[static_cast<size_t>(i)].data(), imodel::AREA) != 0)
            return false;
    return true;
}

int main(int argc, char **argv)
{
    Options opt = parseOptions(argc, argv);
    char dir[] = "/tmp/veldran-soak-XXXXXX";
    if (!mkdtemp(dir)) {
        perror("soak: mkdtemp");
        return 2;
    }
    std::string plant = std::string(dir) + "/plant.toml";
    std::ofstream(plant) << plantText(opt.checksum, opt.baud);

    vsim::SimProcess sim;
    vsim::SimOptions so;
    so.binary = VELDRAN_SIM_BINARY;
    so.plant = plant;
    so.quiet = true;
    so.log = opt.log;
    so.extra = {"--seed", std::to_string(opt.seed)};
    std::string error;
    if (!sim.start(so, &error)) {
        fprintf(stderr, "soak: the simulator did not start: %s\n", error.c_str());
        return 2;
    }
    setenv("VELDRAN_COM1", sim.slavePath().c_str(), 1);

    hostsvc::useRealClock();
    hostsvc::captureConsole(true);
    std::string options =
        "COMPORT=1 BAUD=" + std::to_string(opt.baud / 100) + " TIMEOUT=" + std::to_string(opt.timeout);
    if (opt.checksum)
        options += " CHECKSUM";
    if (request(REQ_INIT, options.c_str()) != EC_OK) {
        fprintf(stderr, "soak: Init failed: %s\n", hostsvc::takeConsole().c_str());
        return 2;
    }
    struct req_setmode sm = records::setMode(2);
    _main(&sm, nullptr);
    hostsvc::takeConsole();

    // The clean replies, in the order of each plan's exchanges.
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

    const double ch = charMs(opt);
    // How long a receiver waits for a quiet line: three characters, 2 ms at least.
    const double quietMs = std::max(2.0, 3 * ch);
    std::mt19937_64 rng(opt.seed);
    std::map<std::string, long> perKind, perCode, perInstruction;
    long wrong = 0, innocent = 0, misattributed = 0, corrupted = 0, tooLong = 0, unsettled = 0, unchecked = 0,
         exchanges = 0;
    double worstOverMs = -1e9;
    // The model sees every character at once and has ample time for them.
    model::Env env{opt.checksum, false, {1000, 1}};
    static fz::Guarded<imodel::AREA> area[5];
    auto started = Clock::now();
    double controlMs = 0, callMs = 0;
    Kind previous = NONE;
    int previousIns = 14;
    // Until when a transmission that no exchange waits for may be on the line.
    Clock::time_point busyUntil = started;
    auto after = [](Clock::time_point t, double ms) {
        return t + std::chrono::microseconds(static_cast<long>(ms * 1000));
    };

    for (; exchanges < opt.exchanges; ++exchanges) {
        if (std::chrono::duration<double>(Clock::now() - started).count() > opt.seconds)
            break;
        const size_t pi = static_cast<size_t>(rng() % plan.size());
        const Plan &p = plan[pi];
        const int ins = p.ins;
        const std::vector<std::string> &c = clean[pi];
        const int turnaround = (p.addr == 6 || p.addr == 7) ? 3 : 1;
        // The first command's time on the line.
        const double cmdMs = c.empty() ? 0 : ch * static_cast<double>(model::frame(p.commands[0], opt.checksum).size());
        const double replyMs = c.empty() ? 0 : ch * static_cast<double>(c[0].size() + 1);
        Kind kind = NONE;
        double spillMs = 0; // how long after the exchange's start the fault may keep the line busy
        if (ins != 14 && rng() % 5 == 0) {
            static const Kind plain[] = {SILENCE, REFUSE, NOISE, TRUNCATE, EXTRA, LATE, NOCR, SPLIT, BABBLE};
            static const Kind summed[] = {SILENCE, REFUSE, NOISE, BADSUM, LOWERSUM, TRUNCATE,
                                          EXTRA,   LATE,   NOCR,  SPLIT,  BABBLE};
            kind = opt.checksum ? summed[rng() % 11] : plain[rng() % 9];
        }
        if (previous != NONE) {
            // A fault whose command a collision destroyed has not struck: it
            // must not strike this exchange instead.
            auto tc = Clock::now();
            sim.command("clear-faults");
            controlMs += std::chrono::duration<double, std::milli>(Clock::now() - tc).count();
        }
        if (kind != NONE) {
            std::string cmd = "fault " + std::to_string(p.addr) + " " + kindName[kind] + " count=1";
            if (kind == LATE) {
                // A reply that is still under way when the time-out strikes,
                // or starts within a receiver's quiet interval after it.
                std::uniform_real_distribution<double> start(-replyMs, quietMs);
                double delay = std::max(0.0, opt.timeout - cmdMs - turnaround + start(rng));
                cmd += " delay=" + std::to_string(delay);
                spillMs = cmdMs + turnaround + delay + replyMs;
            }
            if (kind == BABBLE) {
                std::uniform_real_distribution<double> len(opt.timeout / 2.0, 2.0 * opt.timeout);
                double ms = len(rng);
                cmd += " delay=" + std::to_string(ms);
                spillMs = cmdMs + turnaround + ms;
            }
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
        model::Script s1, s2, clean1;
        if (!c.empty()) {
            std::string wire = spoil(kind, c[0], p.addr, opt.checksum, &timely);
            s1 = scriptOf(wire, timely);
            clean1 = scriptOf(c[0], true);
        }
        if (c.size() > 1)
            s2 = scriptOf(c[1], true);
        imodel::Expect want = imodel::modelOf(ins, recs, env, s1, s2, 0, before);
        imodel::Expect whole = imodel::modelOf(ins, recs, env, clean1, s2, 0, before);

        auto t0 = Clock::now();
        const bool settled = t0 >= busyUntil && kind != BABBLE && kind != LATE;
        function_table[ins].fnc_ptr(1, function_table[ins].fnc_numargs, recs);
        auto t1 = Clock::now();
        double ms = std::chrono::duration<double, std::milli>(t1 - t0).count();
        hostsvc::takeConsole();
        callMs += ms;

        uint16_t code;
        memcpy(&code, area[want.errCode].data, 2);
        bool guards = true;
        for (int i = 0; i < 5; ++i)
            guards = guards && area[i].guardsIntact();
        bool right = guards;
        if (settled) {
            right = right && code == want.code;
            for (int i = 0; i < 5; ++i)
                right = right && memcmp(area[i].data, want.areas[static_cast<size_t>(i)].data(), imodel::AREA) == 0;
        } else {
            ++unsettled;
            const std::vector<uint32_t> &allowed = imodel::allowedCodes(ins);
            right = right && std::find(allowed.begin(), allowed.end(), code) != allowed.end();
        }
        // Values delivered must be the addressed module's.
        std::string foreign;
        bool valuesBad = false;
        if (ins != 14 && (code == 0 || code == 1018)) {
            if (ins == 0 && code == 1018)
                ++unchecked;
            if (!valuesMatch(ins, code, area, whole)) {
                valuesBad = true;
                for (size_t q = 0; q < plan.size() && foreign.empty(); ++q)
                    for (const std::string &r : clean[q]) {
                        if (q == pi || r == c[0])
                            continue;
                        imodel::Expect other = imodel::modelOf(ins, recs, env, scriptOf(r, true), s2, 0, before);
                        if (other.code == code && valuesMatch(ins, code, area, other)) {
                            foreign = r;
                            break;
                        }
                    }
                if (foreign.empty())
                    ++corrupted;
                else
                    ++misattributed;
            }
        }
        int ops = (ins == 7 || ins == 8) ? 2 : 1;
        double over = ms - (settled ? ops : 2 * ops) * opt.timeout;
        if (over > worstOverMs)
            worstOverMs = over;
        bool inTime = over <= opt.margin;
        if (!right && !valuesBad)
            ++wrong;
        if (!settled && kind == NONE && code != 0)
            ++innocent;
        if (!inTime)
            ++tooLong;
        if (!right || !inTime || valuesBad) {
            fprintf(stderr,
                    "soak: exchange %ld %s@%d fault %s (previous: %s %s)%s: code %u (model %u)%s, %.1f ms%s%s%s\n",
                    exchanges, imodel::NAMES[ins], p.addr, kindName[kind], imodel::NAMES[previousIns],
                    kindName[previous], settled ? "" : " unsettled", code, want.code, right ? "" : " MISCLASSIFIED", ms,
                    inTime ? "" : " TOO LONG",
                    valuesBad ? (foreign.empty() ? " CORRUPTED VALUES" : " MISATTRIBUTED VALUES, the reply ") : "",
                    foreign.c_str());
        }
        previous = kind;
        previousIns = ins;
        ++perKind[kindName[kind]];
        ++perCode[std::to_string(code)];
        ++perInstruction[imodel::NAMES[ins]];

        // What may still be on the line when the next exchange begins: a
        // late reply or a babble; the rest of a refusal reported at its "?";
        // after an exchange that failed while the line was unsettled, the
        // rest of any reply.
        if (spillMs > 0)
            busyUntil = std::max(busyUntil, after(t0, spillMs + 2));
        if (kind == REFUSE && ins > 2)
            busyUntil =
                std::max(busyUntil, after(t1, ch * static_cast<double>(refusalLength(p.addr, opt.checksum)) + 2));
        if (!settled && code != 0)
            busyUntil = std::max(busyUntil, after(t1, turnaround + 60 * ch + 2));
    }
    double secs = std::chrono::duration<double>(Clock::now() - started).count();

    request(REQ_DEINSTALL, nullptr);
    std::string stats = sim.command("stats").value_or("(no stats)");
    sim.command("quit");
    sim.wait(3000);
    unlink(plant.c_str());
    rmdir(dir);
    auto field = [&](const char *key) {
        size_t at = stats.find(std::string(" ") + key + "=");
        if (at == std::string::npos)
            return std::string("?");
        at += strlen(key) + 2;
        return stats.substr(at, stats.find(' ', at) - at);
    };
    const long failures = wrong + misattributed + corrupted + tooLong;

    printf("soak: %ld exchanges in %.1f s, %ld baud, checksums %s, time-out %d ms, seed %lu: %ld wrong, %ld "
           "misattributed, %ld corrupted, %ld too long; %s collisions, %ld unsettled\n",
           exchanges, secs, opt.baud, opt.checksum ? "on" : "off", opt.timeout, opt.seed, wrong, misattributed,
           corrupted, tooLong, field("collisions").c_str(), unsettled);
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
        printf("\n  simulator: %s\n", stats.c_str());
        printf("  unsettled exchanges without a fault of their own that failed: %ld\n", innocent);
        printf("  analog values with 1018 left unchecked (no channel mark): %ld\n", unchecked);
        printf("  time: %.0f ms in instruction calls, %.0f ms in simulator control\n", callMs, controlMs);
        printf("  longest exchange: %.1f ms beyond its time-out(s) (margin %d ms)\n", worstOverMs, opt.margin);
    }
    return failures == 0 && exchanges > 0 ? 0 : 1;
}
