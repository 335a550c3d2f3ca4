// The whole chain, host - module - serial library - pty - simulator, for
// every instruction and the line faults that matter.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "e2e_support.h"
#include "sim_process.h"

namespace {

using e2e::config;
using e2e::HostResult;
using e2e::RungOut;

// The time-out of the tests that are not about the time-out: room for a
// loaded machine, where the simulator or the host may be put aside for tens
// of milliseconds in the middle of an exchange.
const std::string ROOMY = "COMPORT=1 TIMEOUT=200";

const char *kData = "[data]\n"
                    "N7 = { type = \"word\", size = 64 }\n"
                    "F8 = { type = \"float\", size = 32 }\n";

std::string rung(const std::string &instr, const std::string &args, const std::string &when = "")
{
    std::string s = "[[rung]]\ninstr = \"" + instr + "\"\nargs = " + args + "\n";
    if (!when.empty())
        s += "when = " + when + "\n";
    return s;
}

// A path as the host takes it: under wine on drive Z:.
std::string hostPath(const std::string &path)
{
    if (!config().wine)
        return path;
    std::string win = "Z:" + path;
    for (char &c : win)
        if (c == '/')
            c = '\\';
    return win;
}

class E2E : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/veldran-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }

    void TearDown() override
    {
        if (sim.running())
            sim.stop();
        if (HasFailure()) {
            std::ifstream log(dir + "/sim" + std::to_string(sims) + ".log");
            std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
            if (text.size() > 6000)
                text = "..." + text.substr(text.size() - 6000);
            std::cerr << "--- simulator log (end) ---\n" << text;
            std::cerr << "--- host output ---\n" << last.output << "\n";
        }
        if (getenv("VELDRAN_E2E_KEEP")) {
            std::cerr << "kept " << dir << "\n";
            return;
        }
        std::string cmd = "rm -rf '" + dir + "'";
        if (system(cmd.c_str()) != 0)
            std::cerr << "could not remove " << dir << "\n";
    }

    void startSim(int baud = 19200, const std::string &plant = "", const std::vector<std::string> &more = {})
    {
        vsim::SimOptions o;
        o.binary = config().sim;
        o.plant = plant.empty() ? config().plant : plant;
        o.log = dir + "/sim" + std::to_string(++sims) + ".log";
        o.extra = {"--baud", std::to_string(baud), "--seed", "7"};
        o.extra.insert(o.extra.end(), more.begin(), more.end());
        if (config().wine) {
            std::string ports = config().wineDir + "/ports";
            mkdir(ports.c_str(), 0755);
            o.link = ports + "/" + simLink;
            unlink(o.link.c_str());
        }
        std::string error;
        ASSERT_TRUE(sim.start(o, &error)) << error;
    }

    void ctl(const std::string &line)
    {
        auto r = sim.command(line);
        ASSERT_TRUE(r.has_value()) << line;
        ASSERT_EQ(r->rfind("OK", 0), 0u) << line << " -> " << *r;
    }

    // The reply to a "get" without its "OK ".
    std::string get(const std::string &what)
    {
        auto r = sim.command("get " + what);
        if (!r || r->rfind("OK ", 0) != 0)
            return "<" + r.value_or("no reply") + ">";
        return r->substr(3);
    }

    HostResult host(const std::string &rungs, const std::string &options, std::vector<std::string> extra = {})
    {
        return hostFile(kData + rungs, options, extra);
    }

    // A file of the test's own, in the test's directory.
    std::string writeFile(const std::string &name, const std::string &text)
    {
        std::string path = dir + "/" + name;
        std::ofstream(path) << text;
        return path;
    }

    // Any other command of the host, on the simulator's line.
    HostResult hostCommand(const std::vector<std::string> &args, int nativeTimeoutMs = 60000,
                           std::vector<std::string> env = {})
    {
        std::vector<std::string> argv = {config().host};
        if (config().wine)
            argv.insert(argv.begin(), "wine");
        else
            env.push_back("VELDRAN_COM1=" + sim.slavePath());
        argv.insert(argv.end(), args.begin(), args.end());
        last = e2e::runProgram(argv, env, config().wine ? 4 * nativeTimeoutMs : nativeTimeoutMs);
        return last;
    }

    HostResult hostFile(const std::string &ladder, const std::string &options, std::vector<std::string> extra = {})
    {
        std::string path = writeFile("ladder.toml", ladder);
        std::vector<std::string> argv;
        std::vector<std::string> env;
        if (config().wine) {
            argv = {"wine", config().host, "run", hostPath(path)};
        } else {
            argv = {config().host, "run", path};
            env.push_back("VELDRAN_COM1=" + sim.slavePath());
        }
        argv.push_back("-o");
        argv.push_back(options);
        for (const std::string &e : extra)
            argv.push_back(e);
        last = e2e::runProgram(argv, env, hostTimeoutMs ? hostTimeoutMs : config().wine ? 90000 : 30000);
        return last;
    }

    // Rung `r` of scan `s` (both from 0), or a failure.
    static const RungOut &at(const HostResult &h, size_t s, size_t r)
    {
        static const RungOut none;
        if (s >= h.scans.size() || r >= h.scans[s].rungs.size()) {
            ADD_FAILURE() << "no rung " << r << " in scan " << s + 1;
            return none;
        }
        return h.scans[s].rungs[r];
    }

    static std::string value(const HostResult &h, size_t s, size_t r, const std::string &key)
    {
        const RungOut &o = at(h, s, r);
        auto it = o.values.find(key);
        return it == o.values.end() ? "<no " + key + ">" : it->second;
    }

    std::string dir;
    int sims = 0;
    int hostTimeoutMs = 0;        // 0: the usual bound on one host run
    std::string simLink = "com1"; // under wine: the simulator's link in the ports folder
    vsim::SimProcess sim;
    HostResult last;
};

// ---------------------------------------------------------------------------
// Every instruction, with and without checksums, at two line speeds.

struct LineCase {
    int baud;
    bool checksum;
};

class Instructions : public E2E, public ::testing::WithParamInterface<LineCase> {};

TEST_P(Instructions, EveryInstructionReachesItsModule)
{
    const LineCase &c = GetParam();
    ASSERT_NO_FATAL_FAILURE(startSim(c.baud));
    for (int a = 1; a <= 9 && c.checksum; ++a) {
        ASSERT_NO_FATAL_FAILURE(ctl("set " + std::to_string(a) + " checksum 1"));
    }
    for (const char *cmd : {"set 1 ain 7 -12.25", "set 4 din 0x3FF0", "set 4 counter 1 55", "set 5 status 0x80",
                            "set 7 din 0x00FF", "set 7 status 3", "set 8 din 0x5", "set 9 din 0xA"})
        ASSERT_NO_FATAL_FAILURE(ctl(cmd));

    std::string ladder =
        rung("I7017", "[1, 0, \"F8:0\", \"N7:0\"]") + rung("I7018", "[2, 2, \"N7:30\", \"N7:1\", \"N7:20\"]") +
        rung("I7024", "[3, 1, 4.25, \"N7:2\"]") + rung("I7041", "[4, 0, \"N7:21\", \"N7:3\"]") +
        rung("I7043", "[5, 42435, \"N7:4\"]") + // 0xA5C3
        rung("I7052", "[6, \"N7:22\", \"N7:5\"]") + rung("I7053", "[7, -1, \"N7:23\", \"N7:6\"]") +
        rung("I7060", "[8, 19, \"N7:24\", \"N7:7\"]") + // 0x13: one digit, 3
        rung("I7065", "[9, 19, \"N7:25\", \"N7:8\"]") + // two digits, 13
        rung("I7RDC", "[4, 2, \"F8:16\", \"N7:9\"]") + rung("I7RDC", "[4, 2, \"N7:40\", \"N7:41\"]") +
        rung("I7CDC", "[4, 1, \"N7:10\"]") + rung("I7RDMS", "[5, \"N7:26\", \"N7:11\"]") +
        rung("I7RSMS", "[7, \"N7:12\"]") + rung("I7SHWV", "[3, 200, \"N7:13\"]") + rung("I7HOK", "[\"N7:14\"]");
    std::string options =
        std::string("COMPORT=1 TIMEOUT=300 BAUD=") + std::to_string(c.baud / 100) + (c.checksum ? " CHECKSUM" : "");
    HostResult h = host(ladder, options, {"-n", "1"});
    ASSERT_EQ(h.status, 0) << h.output;
    ASSERT_EQ(h.scans.size(), 1u) << h.output;
    ASSERT_EQ(h.scans[0].rungs.size(), 16u) << h.output;
    // The 7018's open channel answers with a five-character hex field, so
    // that reply is one character long: the values still arrive (1018).
    for (size_t r = 0; r < 16; ++r)
        EXPECT_EQ(value(h, 0, r, "ErrCode"), r == 1 ? "1018" : "0") << "rung " << r << " " << at(h, 0, r).id;

    EXPECT_EQ(value(h, 0, 0, "AIN"), "[1,2.5,-3.25,0,5.123,-10.5,9.999,-12.25]");
    // Hex form, channel 2 open: its field fails to decode and its bit is set.
    EXPECT_EQ(value(h, 0, 1, "AIN"), "[8192,16384,0,0,0,32767,-8192,4096]");
    EXPECT_EQ(value(h, 0, 1, "ErrChan"), "0x0004");
    EXPECT_EQ(get("3 aout 1"), "4.250");
    EXPECT_EQ(value(h, 0, 3, "DIN"), "0x3FF0");
    EXPECT_EQ(get("5 dout"), "A5C3");
    EXPECT_EQ(value(h, 0, 5, "DIN"), "0x00A5");
    EXPECT_EQ(value(h, 0, 6, "DIN"), "0xFF00");
    EXPECT_EQ(get("8 dout"), "3");
    EXPECT_EQ(value(h, 0, 7, "DIN"), "0x0005");
    EXPECT_EQ(get("9 dout"), "13");
    EXPECT_EQ(value(h, 0, 8, "DIN"), "0x000A");
    EXPECT_EQ(value(h, 0, 9, "Count"), "70000");
    EXPECT_EQ(value(h, 0, 10, "Count"), "4464"); // the low 16 bits in a word
    EXPECT_EQ(get("4 counter 1"), "0");
    EXPECT_EQ(value(h, 0, 12, "Status"), "0x0080");
    EXPECT_EQ(get("7 status"), "00");
    EXPECT_EQ(get("3 watchdog"), "1 200 0");
    auto stats = sim.command("stats");
    ASSERT_TRUE(stats.has_value());
    EXPECT_NE(stats->find("broadcasts=1 "), std::string::npos) << *stats;
    EXPECT_NE(stats->find("refused=0 "), std::string::npos) << *stats;
}

INSTANTIATE_TEST_SUITE_P(Lines, Instructions,
                         ::testing::Values(LineCase{9600, false}, LineCase{9600, true}, LineCase{115200, false},
                                           LineCase{115200, true}),
                         [](const ::testing::TestParamInfo<LineCase> &i) {
                             return std::to_string(i.param.baud) + (i.param.checksum ? "_checksum" : "_plain");
                         });

// ---------------------------------------------------------------------------
// Line faults: what reaches "ErrCode:".

struct FaultCase {
    const char *name;
    std::vector<std::string> setup; // control commands
    bool checksum;
    std::string rungs;
    std::string expect;     // ErrCode of rung 0, scan 1
    std::string key, value; // and one more value of that rung ("" none)
};

void PrintTo(const FaultCase &c, std::ostream *os) { *os << c.name; }

class Faults : public E2E, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(Faults, ReachTheLadder)
{
    const FaultCase &c = GetParam();
    ASSERT_NO_FATAL_FAILURE(startSim());
    for (const std::string &cmd : c.setup)
        ASSERT_NO_FATAL_FAILURE(ctl(cmd));
    HostResult h = host(c.rungs, ROOMY + (c.checksum ? " CHECKSUM" : ""), {"-n", "1"});
    ASSERT_EQ(h.status, 0) << h.output;
    EXPECT_EQ(value(h, 0, 0, "ErrCode"), c.expect);
    if (!c.key.empty()) {
        EXPECT_EQ(value(h, 0, 0, c.key), c.value);
    }
}

const std::string READ_DIN = rung("I7041", "[4, 0, \"N7:21\", \"N7:3\"]");
const std::string READ_AIN = rung("I7017", "[1, 0, \"F8:0\", \"N7:0\"]");

INSTANTIATE_TEST_SUITE_P(
    Cases, Faults,
    ::testing::Values(
        FaultCase{"silent", {"fault 4 silence"}, false, READ_DIN, "1005", "DIN", "0x0000"},
        FaultCase{"refused", {"fault 4 refuse"}, false, READ_DIN, "1006", "DIN", "0x0000"},
        FaultCase{
            "refused_analog_write", {"fault 3 refuse"}, false, rung("I7024", "[3, 0, 1.5, \"N7:2\"]"), "1006", "", ""},
        FaultCase{"wrong_checksum", {"set 4 checksum 1", "fault 4 badsum"}, true, READ_DIN, "1011", "DIN", "0x0000"},
        FaultCase{"lower_case_checksum", {"set 4 checksum 1", "fault 4 lowersum"}, true, READ_DIN, "1011", "", ""},
        FaultCase{"noise_before_reply", {"fault 4 noise"}, false, READ_DIN, "0", "DIN", "0x2A55"},
        FaultCase{"noise_before_analog_reply",
                  {"fault 1 noise"},
                  false,
                  READ_AIN,
                  "0",
                  "AIN",
                  "[1,2.5,-3.25,0,5.123,-10.5,9.999,0.25]"},
        FaultCase{"truncated", {"fault 4 truncate"}, false, READ_DIN, "1008", "DIN", "0x0000"},
        FaultCase{"split_reply", {"fault 1 split"}, false, READ_AIN, "0", "", ""},
        FaultCase{"address_out_of_range", {}, false, rung("I7041", "[256, 0, \"N7:21\", \"N7:3\"]"), "1007", "", ""}),
    [](const ::testing::TestParamInfo<FaultCase> &i) { return std::string(i.param.name); });

// A silent module costs its time-out, and not much more.
TEST_F(E2E, SilentModuleTimesOutWithinItsTimeout)
{
    ASSERT_NO_FATAL_FAILURE(startSim());
    ASSERT_NO_FATAL_FAILURE(ctl("fault 4 silence"));
    HostResult h = host(READ_DIN, "COMPORT=1 TIMEOUT=100", {"-n", "2"});
    ASSERT_EQ(h.status, 0) << h.output;
    for (size_t s = 0; s < 2; ++s) {
        EXPECT_EQ(value(h, s, 0, "ErrCode"), "1005");
        EXPECT_GE(at(h, s, 0).ms, 99.0);
        EXPECT_LT(at(h, s, 0).ms, 1100.0); // the bound is only there to catch a hang
    }
}

// A reply that comes after the time-out waits in the receive queue; the next
// exchange, with another module and a reply of another length, must not
// take it for its own.
TEST_F(E2E, LateReplyThenGoodExchange)
{
    ASSERT_NO_FATAL_FAILURE(startSim());
    ASSERT_NO_FATAL_FAILURE(ctl("fault 1 late delay=250 count=1"));
    std::string ladder = rung("I7017", "[1, 0, \"F8:0\", \"N7:0\"]", "{ first = 1 }") +
                         rung("I7041", "[4, 0, \"N7:21\", \"N7:3\"]", "\"S:0/1\""); // scans 2 and 3
    HostResult h = host(ladder, "COMPORT=1 TIMEOUT=150", {"-n", "3", "-p", "400"});
    ASSERT_EQ(h.status, 0) << h.output;
    EXPECT_EQ(value(h, 0, 0, "ErrCode"), "1005");
    EXPECT_FALSE(at(h, 0, 1).on);
    EXPECT_EQ(value(h, 1, 1, "ErrCode"), "0");
    EXPECT_EQ(value(h, 1, 1, "DIN"), "0x2A55");
    EXPECT_EQ(value(h, 2, 1, "ErrCode"), "0");
}

// The host watchdog of the analog output module, armed in the first scan
// (0.5 s): the host-OK broadcast at the end of every scan keeps it from
// expiring; without it the watchdog expires and the status shows it.
TEST_F(E2E, HostOkRestartsTheWatchdog)
{
    for (bool broadcast : {false, true}) {
        SCOPED_TRACE(broadcast ? "with host OK" : "without host OK");
        if (sim.running())
            sim.stop();
        ASSERT_NO_FATAL_FAILURE(startSim());
        std::string ladder = rung("I7SHWV", "[3, 5, \"N7:13\"]", "{ first = 1 }") +
                             rung("I7RDMS", "[3, \"N7:26\", \"N7:11\"]") +
                             rung("I7HOK", "[\"N7:14\"]", broadcast ? "true" : "false");
        HostResult h = host(ladder, ROOMY, {"-n", "12", "-p", "100"});
        ASSERT_EQ(h.status, 0) << h.output;
        ASSERT_EQ(h.scans.size(), 12u) << h.output;
        EXPECT_EQ(value(h, 0, 0, "ErrCode"), "0");
        EXPECT_EQ(value(h, 11, 1, "ErrCode"), "0");
        if (broadcast) {
            EXPECT_EQ(value(h, 11, 2, "ErrCode"), "0");
            EXPECT_EQ(value(h, 11, 1, "Status"), "0x0000");
            EXPECT_EQ(get("3 watchdog"), "1 5 0");
        } else {
            EXPECT_EQ(value(h, 11, 1, "Status"), "0x0004");
            EXPECT_EQ(get("3 watchdog"), "1 5 1");
        }
    }
}

// The line runs at the speed the serial library set on the device (natively
// through termios, under wine through its serial layer): a simulator that
// assumed 19200 paces at the driver's 9600, and modules set to 19200 are
// then silent, as on a real line.
TEST_F(E2E, TheDriversSpeedIsTheLines)
{
    ASSERT_NO_FATAL_FAILURE(startSim(19200));
    HostResult h = host(READ_DIN, ROOMY + " BAUD=96", {"-n", "1"});
    ASSERT_EQ(h.status, 0) << h.output;
    EXPECT_EQ(value(h, 0, 0, "ErrCode"), "0");
    auto stats = sim.command("stats");
    ASSERT_TRUE(stats.has_value());
    EXPECT_NE(stats->find(" baud=9600 "), std::string::npos) << *stats;

    ASSERT_NO_FATAL_FAILURE(ctl("set 4 baud 19200"));
    h = host(READ_DIN, ROOMY + " BAUD=96", {"-n", "1"});
    ASSERT_EQ(h.status, 0) << h.output;
    EXPECT_EQ(value(h, 0, 0, "ErrCode"), "1005");
    stats = sim.command("stats");
    ASSERT_TRUE(stats.has_value());
    EXPECT_NE(stats->find(" wrongbaud=1 "), std::string::npos) << *stats;
}

// The broadcast gets no reply, so nothing waits for the line after it: an
// exchange that follows at once must not discard the frame before the
// modules have it.
TEST_F(E2E, HostOkFollowedAtOnceByAnExchangeReachesTheModules)
{
    ASSERT_NO_FATAL_FAILURE(startSim());
    std::string ladder = rung("I7HOK", "[\"N7:14\"]") + rung("I7RDMS", "[3, \"N7:26\", \"N7:11\"]");
    HostResult h = host(ladder, ROOMY, {"-n", "5"});
    ASSERT_EQ(h.status, 0) << h.output;
    for (size_t s = 0; s < 5; ++s)
        EXPECT_EQ(value(h, s, 0, "ErrCode"), "0");
    auto stats = sim.command("stats");
    ASSERT_TRUE(stats.has_value());
    EXPECT_NE(stats->find("broadcasts=5 "), std::string::npos) << *stats;
}

// ---------------------------------------------------------------------------
// Line discipline: a fault on one module never shows up on another module's
// rung.  Every rung of every scan is checked: a rung either fails with a
// code its own module earned, or holds its own module's values with its
// usual code.

struct Expect {
    std::string code;                          // its usual code
    std::map<std::string, std::string> values; // its module's values
};

// What a rung may show in one scan: its usual code and values, or one of
// the codes its own module earns (with no values delivered).  Where a serial
// adapter decides whether a reply comes in time, either may be right; where
// the reply has the time-out's room on an idle machine, a loaded one may
// still now and then hold it up beyond that: an honest time-out, but not in
// most scans, as a rung that loses its reply to a fault of the module's
// would.
struct Outcome {
    enum Usual { NEVER, MAY, MOSTLY, ALWAYS } usual = ALWAYS;
    std::set<std::string> codes;
};
const Outcome USUAL{};
Outcome fails(std::set<std::string> codes) { return {Outcome::NEVER, std::move(codes)}; }
Outcome usualOr(std::set<std::string> codes) { return {Outcome::MAY, std::move(codes)}; }
Outcome mostlyUsual(std::set<std::string> codes) { return {Outcome::MOSTLY, std::move(codes)}; }

std::string listed(const std::set<std::string> &codes)
{
    std::string s;
    for (const std::string &c : codes)
        s += (s.empty() ? "" : ", ") + c;
    return s;
}

struct DisciplineRow {
    const char *name;
    std::string plant;              // "": the sample plant
    int baud;                       // the simulator's, until the host sets one
    std::vector<std::string> setup; // control lines: faults, settings
    int adapterMs, jitterMs;        // the serial adapter between line and host (0: none)
    std::string ladder;
    std::string options;
    size_t scans;
    int periodMs; // each scan at least this long (0: back to back)
    std::vector<Expect> rungs;
    std::function<Outcome(size_t scan, size_t rung)> allowed;
};

void PrintTo(const DisciplineRow &c, std::ostream *os) { *os << c.name; }

// The rows below are its parameters; the tests of their own use it as a
// plain fixture.
class LineDiscipline : public E2E, public ::testing::WithParamInterface<DisciplineRow> {
protected:
    // `allowed(scan, rung)` says what a rung may show in that scan.  Returns
    // how often each code was seen.
    std::map<std::string, int> check(const HostResult &h, size_t scans, const std::vector<Expect> &rungs,
                                     const std::function<Outcome(size_t, size_t)> &allowed)
    {
        std::map<std::string, int> seen;
        std::vector<size_t> mostly(rungs.size()), missed(rungs.size()); // scans a rung had to be mostly usual in
        EXPECT_EQ(h.status, 0) << h.output;
        EXPECT_EQ(h.scans.size(), scans) << h.output;
        for (size_t s = 0; s < scans && s < h.scans.size(); ++s) {
            for (size_t r = 0; r < rungs.size(); ++r) {
                SCOPED_TRACE("scan " + std::to_string(s + 1) + " rung " + std::to_string(r) + " " + at(h, s, r).id);
                const Outcome may = allowed(s, r);
                const std::string code = value(h, s, r, "ErrCode");
                ++seen[code];
                mostly[r] += may.usual == Outcome::MOSTLY;
                if (may.codes.count(code)) {
                    missed[r] += may.usual == Outcome::MOSTLY;
                    continue; // its own module's failure: nothing delivered
                }
                if (may.usual == Outcome::NEVER) {
                    ADD_FAILURE() << "ErrCode " << code << ", expected " << listed(may.codes);
                    continue;
                }
                EXPECT_EQ(code, rungs[r].code) << (may.codes.empty() ? "" : "or one of " + listed(may.codes));
                for (const auto &kv : rungs[r].values)
                    EXPECT_EQ(value(h, s, r, kv.first), kv.second) << kv.first;
            }
        }
        for (size_t r = 0; r < rungs.size(); ++r)
            EXPECT_TRUE(mostly[r] == 0 || 2 * missed[r] < mostly[r])
                << "rung " << r << " failed in " << missed[r] << " of " << mostly[r] << " scans";
        return seen;
    }
};

const Expect AIN1{"0", {{"AIN", "[1,2.5,-3.25,0,5.123,-10.5,9.999,0.25]"}}};
const Expect AIN2_HEX{"1018", {{"AIN", "[8192,16384,0,0,0,32767,-8192,4096]"}, {"ErrChan", "0x0004"}}};
const Expect DIN4{"0", {{"DIN", "0x2A55"}}};
const Expect STATUS5{"0", {{"Status", "0x0000"}}};
const Expect DIN6{"0", {{"DIN", "0x00A5"}}};
const Expect DIN7{"0", {{"DIN", "0x1234"}}};

const std::string READ_7017 = rung("I7017", "[1, 0, \"F8:0\", \"N7:0\"]");
const std::string READ_7018 = rung("I7018", "[2, 2, \"N7:30\", \"N7:1\", \"N7:20\"]");
const std::string READ_7041 = rung("I7041", "[4, 0, \"N7:21\", \"N7:3\"]");
const std::string READ_STATUS_5 = rung("I7RDMS", "[5, \"N7:26\", \"N7:11\"]");
const std::string READ_7052 = rung("I7052", "[6, \"N7:22\", \"N7:5\"]");
const std::string READ_7053 = rung("I7053", "[7, 0, \"N7:23\", \"N7:6\"]");

// A 7017 and a 7018 alone at 9600 baud: the 7017's reply takes 60 ms on
// the wire, the 7018's is of another length.
const std::string PAIR_9600 = R"(
[line]
baud = 9600
turnaround_ms = 1
[[module]]
address = 1
model = 7017
ain = [1, 2, 3, 4, 5, 6, 7, 8]
[[module]]
address = 2
model = 7018
ain = [21.5, 22.5, 23.5, 24.5, 0, 0, 0, 0]
)";
const std::string PAIR_9600_LADDER =
    rung("I7017", "[1, 0, \"F8:0\", \"N7:0\"]") + rung("I7018", "[2, 0, \"F8:8\", \"N7:1\", \"N7:2\"]");
const std::vector<Expect> PAIR_9600_RUNGS = {{"0", {{"AIN", "[1,2,3,4,5,6,7,8]"}}},
                                             {"0", {{"AIN", "[21.5,22.5,23.5,24.5,0,0,0,0]"}, {"ErrChan", "0x0000"}}}};

// Two 7052s and two 7053s side by side, each with inputs of its own: a
// reply taken one exchange late by the same-model neighbour has the right
// form and length, and only its value shows that it is not its own.
const std::string NEIGHBOURS = R"(
[line]
baud = 19200
turnaround_ms = 1
[[module]]
address = 6
model = 7052
din = 0xA5
[[module]]
address = 9
model = 7052
din = 0x3C
[[module]]
address = 7
model = 7053
din = 0x1234
[[module]]
address = 10
model = 7053
din = 0xBEEF
)";

// A USB serial adapter as the common chips come: its latency timer runs
// out every 16 ms, and the system hands each packet over up to 2 ms later.
constexpr int USB_LATENCY_MS = 16;
constexpr int USB_JITTER_MS = 2;

// How long a loaded machine may hold up what passes between the simulator
// and the host (its scheduler, the pseudo-terminal's delivery): tens of
// milliseconds now and then on a small virtual machine beside two busy
// loops, and at times 200 and more.  A module that gave up on a reply cannot
// tell such a holdup from a quiet line unless it is told how late the line
// may deliver, so every row gives it this as part of the serial adapter's
// LATENCY=: the rows are about what the module does once the line is quiet,
// not about how soon it calls it quiet.
constexpr int LOADED_MACHINE_MS = 230;

TEST_P(LineDiscipline, Rows)
{
    const DisciplineRow &c = GetParam();
    std::vector<std::string> adapter;
    if (c.adapterMs > 0)
        adapter = {"--adapter-latency", std::to_string(c.adapterMs), "--adapter-jitter", std::to_string(c.jitterMs)};
    ASSERT_NO_FATAL_FAILURE(startSim(c.baud, c.plant.empty() ? "" : writeFile("plant.toml", c.plant), adapter));
    for (const std::string &line : c.setup)
        ASSERT_NO_FATAL_FAILURE(ctl(line));
    // The module is told how late the line may deliver: the adapter, and
    // a loaded machine.
    const std::string latency = " LATENCY=" + std::to_string(c.adapterMs + c.jitterMs + LOADED_MACHINE_MS);
    std::vector<std::string> run = {"-n", std::to_string(c.scans)};
    if (c.periodMs > 0)
        run.insert(run.end(), {"-p", std::to_string(c.periodMs)});
    HostResult h = host(c.ladder, c.options + latency, run);
    std::map<std::string, int> seen = check(h, c.scans, c.rungs, c.allowed);
    auto stats = sim.command("stats");
    ASSERT_TRUE(stats.has_value());
    // Nothing was sent while a module was still sending.
    EXPECT_NE(stats->find(" collisions=0 "), std::string::npos) << *stats;
    EXPECT_EQ(stats->find(" bursts=0 ") == std::string::npos, c.adapterMs > 0) << *stats;
    std::cout << c.name << ": codes";
    for (const auto &kv : seen)
        std::cout << " " << kv.first << "=" << kv.second;
    std::cout << "\n";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LineDiscipline,
    ::testing::Values(
        // A reply 160 ms late in the first scan, and 60 ms long at 9600
        // baud: it begins before the 7017's rung times out (200 ms), with
        // room for the delays of wine's serial layer, and is still on the
        // line then.  The 7018's rung right after it still gets its own
        // temperatures.
        DisciplineRow{"late_reply_stays_with_its_module",
                      PAIR_9600,
                      9600,
                      {"fault 1 late delay=160 count=1"},
                      0,
                      0,
                      PAIR_9600_LADDER,
                      "COMPORT=1 BAUD=96 TIMEOUT=200",
                      4,
                      0,
                      PAIR_9600_RUNGS,
                      [](size_t s, size_t r) { return s == 0 && r == 0 ? fails({"1005"}) : USUAL; }},
        // The same behind the adapter: the late reply's tail comes in
        // bursts after the time-out.
        DisciplineRow{"late_reply_behind_an_adapter",
                      PAIR_9600,
                      9600,
                      {"fault 1 late delay=160 count=1"},
                      USB_LATENCY_MS,
                      USB_JITTER_MS,
                      PAIR_9600_LADDER,
                      "COMPORT=1 BAUD=96 TIMEOUT=200",
                      4,
                      0,
                      PAIR_9600_RUNGS,
                      [](size_t s, size_t r) { return s == 0 && r == 0 ? fails({"1005"}) : USUAL; }},
        // A refusal is reported at its first character; the rest of the
        // refusal line must not reach the next rung.
        DisciplineRow{"refusal_does_not_poison_the_next_rung",
                      "",
                      19200,
                      {"fault 4 refuse count=2"},
                      0,
                      0,
                      READ_7041 + READ_7017 + READ_STATUS_5 + READ_7018,
                      ROOMY,
                      3,
                      0,
                      {DIN4, AIN1, STATUS5, AIN2_HEX},
                      [](size_t s, size_t r) { return s < 2 && r == 0 ? fails({"1006"}) : USUAL; }},
        // The same behind the adapter, where the rest of the refusal may
        // come a burst after its first character.
        DisciplineRow{"refusal_behind_an_adapter",
                      "",
                      19200,
                      {"fault 4 refuse count=2"},
                      USB_LATENCY_MS,
                      USB_JITTER_MS,
                      READ_7041 + READ_7017 + READ_STATUS_5 + READ_7018,
                      ROOMY,
                      3,
                      0,
                      {DIN4, AIN1, STATUS5, AIN2_HEX},
                      [](size_t s, size_t r) { return s < 2 && r == 0 ? fails({"1006"}) : USUAL; }},
        // A rung aimed at the wrong model (a four-digit write to a 7060,
        // refused at once every scan) and a rung for an address with no
        // module at all: both fail on their own, and the rungs between and
        // after them do not.
        DisciplineRow{"wrong_model_and_missing_module_fail_alone",
                      "",
                      19200,
                      {},
                      0,
                      0,
                      rung("I7043", "[8, 4660, \"N7:4\"]") + READ_7017 +
                          rung("I7018", "[20, 2, \"N7:30\", \"N7:1\", \"N7:20\"]") + READ_7018 + READ_7041,
                      ROOMY,
                      4,
                      0,
                      {{"1006", {}}, AIN1, {"1005", {}}, AIN2_HEX, DIN4},
                      [](size_t, size_t) { return USUAL; }},
        // A time-out shorter than the adapter's latency: the 7017's and the
        // 7018's replies (30 and 18 ms on the wire) never come in time, the
        // short ones only when a burst happens to leave soon after them.
        // What comes after a rung gave up stays with that rung.  A scan
        // every 205 ms starts at another point of the adapter's 16 ms timer
        // each time, so the first rung's reply now and then comes in time.
        DisciplineRow{"short_timeout_behind_an_adapter",
                      "",
                      19200,
                      {},
                      USB_LATENCY_MS,
                      USB_JITTER_MS,
                      READ_7041 + READ_7017 + READ_STATUS_5 + READ_7018 + READ_7052,
                      "COMPORT=1 TIMEOUT=10",
                      6,
                      205,
                      {DIN4, AIN1, STATUS5, AIN2_HEX, DIN6},
                      [](size_t, size_t r) { return r == 1 || r == 3 ? fails({"1005"}) : usualOr({"1005"}); }},
        // Two pairs of same-model neighbours behind the adapter at a
        // time-out shorter than its latency: most replies come after their
        // rung gave up.  A rung either holds its own module's inputs or
        // times out, never a neighbour's inputs with 0.  Scans 105 ms apart
        // start at another point of the adapter's timer each time.
        DisciplineRow{"same_model_neighbours_behind_an_adapter",
                      NEIGHBOURS,
                      19200,
                      {},
                      USB_LATENCY_MS,
                      USB_JITTER_MS,
                      rung("I7052", "[6, \"N7:22\", \"N7:5\"]") + rung("I7052", "[9, \"N7:24\", \"N7:7\"]") +
                          rung("I7053", "[7, 0, \"N7:23\", \"N7:6\"]") + rung("I7053", "[10, 0, \"N7:25\", \"N7:8\"]"),
                      "COMPORT=1 TIMEOUT=10",
                      12,
                      105,
                      {DIN6, {"0", {{"DIN", "0x003C"}}}, DIN7, {"0", {{"DIN", "0xBEEF"}}}},
                      [](size_t, size_t) { return usualOr({"1005"}); }},
        // A silent module at the default time-out behind the adapter: it
        // times out every scan, and each neighbour gets its own reply (a
        // short one, in time through the adapter with 16 ms to spare).
        DisciplineRow{"silent_module_behind_an_adapter",
                      "",
                      19200,
                      {"fault 4 silence"},
                      USB_LATENCY_MS,
                      USB_JITTER_MS,
                      READ_7052 + READ_7041 + READ_7053 + READ_STATUS_5,
                      "COMPORT=1",
                      5,
                      0,
                      {DIN6, DIN4, DIN7, STATUS5},
                      [](size_t, size_t r) { return r == 1 ? fails({"1005"}) : mostlyUsual({"1005"}); }}),
    [](const ::testing::TestParamInfo<DisciplineRow> &i) { return std::string(i.param.name); });

// The sample ladder on the sample plant, restarted after the 7043's host
// watchdog expired: its output rung is refused ("!") until the status
// reset rung clears it in that same scan; nothing else fails, and every
// input rung holds what it held before the trip.
TEST_F(LineDiscipline, RestartAfterAWatchdogTrip)
{
    ASSERT_NO_FATAL_FAILURE(startSim());
    std::string plantDir = config().plant.substr(0, config().plant.rfind('/'));
    std::ifstream in(plantDir + "/ladder.toml");
    std::string ladder((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(ladder.empty());
    HostResult before = hostFile(ladder, ROOMY, {"-n", "3"});
    ASSERT_EQ(before.status, 0) << before.output;
    ASSERT_EQ(before.scans.size(), 3u);
    std::vector<Expect> rungs;
    for (const RungOut &r : before.scans[2].rungs) {
        Expect e{r.values.count("ErrCode") ? r.values.at("ErrCode") : "<none>", {}};
        for (const char *key : {"AIN", "DIN", "ErrChan", "Count"})
            if (r.values.count(key))
                e.values[key] = r.values.at(key);
        rungs.push_back(e);
    }
    ASSERT_NO_FATAL_FAILURE(ctl("expire 5"));
    HostResult h = hostFile(ladder, ROOMY, {"-n", "4"});
    size_t i7043 = 4;
    ASSERT_EQ(at(h, 0, i7043).id.rfind("I7043", 0), 0u);
    check(h, 4, rungs, [&](size_t s, size_t r) { return s == 0 && r == i7043 ? fails({"1012"}) : USUAL; });
}

// Whether a delivered value ("0x00A5", or an array "[1,2.5,...]") is the
// module's own; array elements whose bit is set in `failed` are skipped,
// and with `zeroOk` an element may be 0 (a channel without a value).
bool sameValues(const std::string &got, const std::string &want, unsigned failed, bool zeroOk)
{
    if (got.empty() || got[0] != '[')
        return got == want;
    auto split = [](const std::string &a) {
        std::vector<std::string> v;
        std::string item;
        for (char c : a.substr(1, a.size() - 2)) {
            if (c == ',') {
                v.push_back(item);
                item.clear();
            } else {
                item += c;
            }
        }
        v.push_back(item);
        return v;
    };
    std::vector<std::string> g = split(got), w = split(want);
    if (g.size() != w.size())
        return false;
    for (size_t i = 0; i < g.size(); ++i)
        if (!(i < 32 && (failed >> i) & 1) && g[i] != w[i] && !(zeroOk && g[i] == "0"))
            return false;
    return true;
}

// The sample plant's input rungs scanned again and again with faults on
// every module at random: every rung that reports 0 (or the 7018's 1018)
// must hold exactly what its own module holds.  VELDRAN_E2E_SOAK_SCANS sets
// the length (`make soak` runs a long one through the real DLL under wine).
TEST_F(LineDiscipline, SoakNeverMisattributesAValue)
{
    const char *env = getenv("VELDRAN_E2E_SOAK_SCANS");
    const long scans = env ? atol(env) : 15;
    ASSERT_GT(scans, 0);
    std::string ladder = rung("I7017", "[1, 0, \"F8:0\", \"N7:0\"]") +
                         rung("I7018", "[2, 2, \"N7:30\", \"N7:1\", \"N7:20\"]") +
                         rung("I7041", "[4, 0, \"N7:21\", \"N7:3\"]") + rung("I7052", "[6, \"N7:22\", \"N7:5\"]") +
                         rung("I7053", "[7, 0, \"N7:23\", \"N7:6\"]") + rung("I7RDC", "[4, 0, \"F8:16\", \"N7:9\"]") +
                         rung("I7RDMS", "[5, \"N7:26\", \"N7:11\"]") + rung("I7017", "[1, 0, \"F8:8\", \"N7:10\"]");
    ASSERT_NO_FATAL_FAILURE(startSim());
    HostResult clean = host(ladder, ROOMY, {"-n", "1"});
    ASSERT_EQ(clean.status, 0) << clean.output;
    ASSERT_EQ(clean.scans.size(), 1u) << clean.output;
    const std::vector<RungOut> &reference = clean.scans[0].rungs;

    // Faults a real line shows, each on a few per cent of the replies;
    // late replies start within the time-out (100 ms).
    for (const char *f : {"fault * late p=0.04 delay=75", "fault * refuse p=0.04", "fault * silence p=0.03",
                          "fault * noise p=0.04", "fault * truncate p=0.03", "fault * extra p=0.03",
                          "fault * nocr p=0.03", "fault * split p=0.04 delay=1", "fault * babble p=0.01 delay=60"})
        ASSERT_NO_FATAL_FAILURE(ctl(f));
    hostTimeoutMs = static_cast<int>(std::min(scans * 1000L, 3600000L)) + 60000; // a scan is ~0.2 s
    HostResult h = host(ladder, "COMPORT=1 TIMEOUT=100", {"-n", std::to_string(scans)});
    ASSERT_EQ(h.status, 0) << h.output;
    ASSERT_EQ(h.scans.size(), static_cast<size_t>(scans));
    std::map<std::string, long> codes;
    long misattributed = 0;
    for (size_t s = 0; s < h.scans.size(); ++s) {
        for (size_t r = 0; r < reference.size(); ++r) {
            const RungOut &got = at(h, s, r);
            std::string code = value(h, s, r, "ErrCode");
            ++codes[code];
            if (code != "0" && code != "1018")
                continue; // failed on its own module's fault: nothing delivered
            for (const auto &kv : reference[r].values) {
                if (kv.first == "ErrCode" || kv.first == "ErrChan" || !got.values.count(kv.first))
                    continue;
                // With 1018 the channels flagged in "ErrChan:" have no value;
                // a rung without that operand gets 0 for them.
                bool partial = code == "1018";
                unsigned failed = 0;
                if (partial && got.values.count("ErrChan"))
                    failed = static_cast<unsigned>(std::stoul(got.values.at("ErrChan"), nullptr, 16));
                if (!sameValues(got.values.at(kv.first), kv.second, failed, partial && !got.values.count("ErrChan"))) {
                    ++misattributed;
                    ADD_FAILURE() << "scan " << s + 1 << " rung " << r << " " << got.id << " " << kv.first << "="
                                  << got.values.at(kv.first) << " (" << code << "), its module holds " << kv.second;
                }
            }
        }
    }
    auto stats = sim.command("stats");
    std::cout << "soak through the host: " << scans << " scans, " << scans * reference.size() << " rungs, codes:";
    for (const auto &c : codes)
        std::cout << " " << c.first << "=" << c.second;
    std::cout << ", misattributed values " << misattributed << "\n  simulator: " << stats.value_or("?") << "\n";
    EXPECT_EQ(misattributed, 0);
}

// ---------------------------------------------------------------------------
// The host itself, with the real module: the table it reads, and a ladder
// file it cannot use.

TEST(Host, ListsTheFifteenInstructions)
{
    std::vector<std::string> argv = {config().host, "list"};
    if (config().wine)
        argv.insert(argv.begin(), "wine");
    HostResult h = e2e::runProgram(argv, {}, config().wine ? 60000 : 10000);
    ASSERT_EQ(h.status, 0) << h.output;
    // The table read from the real PE DLL under wine, the shared object natively.
    EXPECT_NE(h.output.find(config().wine || !config().dll.empty() ? "veldran.tlm: 15 instructions"
                                                                   : "veldran.so: 15 instructions"),
              std::string::npos)
        << h.output;
    for (const char *s : {"I7017    \"Read 8 Analog Inputs\"  4 operands", "I7060    \"RD/WR Digital I/0\"",
                          "I7HOK    \"Host OK\"  1 operand", "AIN:      0x001e  len 8", "XORmask:  0x0005  len 1",
                          "AOUT:     0x0009  len 1", "Count:    0x000e  len 1"})
        EXPECT_NE(h.output.find(s), std::string::npos) << s << "\n" << h.output;
}

TEST(Host, RefusesABadLadderFileWithLineAndColumn)
{
    char tmpl[] = "/tmp/veldran-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string path = std::string(tmpl) + "/bad.toml";
    std::ofstream(path) << kData << rung("I7017", "[1, 0, \"F8:0\"]");
    std::vector<std::string> argv = {config().host, "run", hostPath(path)};
    if (config().wine)
        argv.insert(argv.begin(), "wine");
    HostResult h = e2e::runProgram(argv, {}, config().wine ? 60000 : 10000);
    EXPECT_EQ(h.status, 1) << h.output;
    EXPECT_NE(h.output.find("bad.toml:6:8: I7017 takes 4 operands"), std::string::npos) << h.output;
    std::string cmd = std::string("rm -rf ") + tmpl;
    EXPECT_EQ(system(cmd.c_str()), 0);
}

// ---------------------------------------------------------------------------
// check: the option string's pitfalls, time-outs too short for the
// exchanges, and a plant that does not fit the ladder.

struct CheckCase {
    const char *name;
    std::string options;
    std::string rungs;
    bool plant;
    int status;
    std::vector<std::string> expect;      // lines of the report that must be there
    std::vector<std::string> absent = {}; // and text that must not
};

void PrintTo(const CheckCase &c, std::ostream *os) { *os << c.name; }

class CheckHost : public ::testing::TestWithParam<CheckCase> {};

const char *kCheckPlant = "[line]\nbaud = 19200\n"
                          "[[module]]\naddress = 1\nmodel = 7018\nformat = \"hex\"\nchecksum = true\nbaud = 19200\n"
                          "[[module]]\naddress = 4\nmodel = 7041\n";

TEST_P(CheckHost, Reports)
{
    const CheckCase &c = GetParam();
    char tmpl[] = "/tmp/veldran-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    std::ofstream(dir + "/ladder.toml") << kData << c.rungs;
    std::ofstream(dir + "/plant.toml") << kCheckPlant;
    std::vector<std::string> argv = {config().host, "check", hostPath(dir + "/ladder.toml"), "-o", c.options};
    if (c.plant) {
        argv.push_back("--plant");
        argv.push_back(hostPath(dir + "/plant.toml"));
    }
    if (config().wine)
        argv.insert(argv.begin(), "wine");
    HostResult h = e2e::runProgram(argv, {}, config().wine ? 60000 : 10000);
    EXPECT_EQ(h.status, c.status) << h.output;
    for (const std::string &e : c.expect)
        EXPECT_NE(h.output.find(e), std::string::npos) << e << "\n" << h.output;
    for (const std::string &e : c.absent)
        EXPECT_EQ(h.output.find(e), std::string::npos) << e << "\n" << h.output;
    std::string cmd = "rm -rf '" + dir + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
}

const std::string AIN = rung("I7017", "[1, 0, \"F8:0\", \"N7:0\"]");

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckHost,
    ::testing::Values(
        CheckCase{"comma",
                  "COMPORT=1,BAUD=96",
                  AIN,
                  false,
                  1,
                  {"settings: COM1 = ", "19200 baud", "'BAUD=96' has no effect"}},
        CheckCase{"semicolon", "BAUD=96;CHECKSUM TIMEOUT=200", AIN, false, 1, {"a ';' does not separate options"}},
        CheckCase{"checksum_0",
                  "CHECKSUM=0",
                  rung("I7041", "[4, 0, \"N7:1\", \"N7:0\"]"),
                  false,
                  1,
                  {"checksum on", "'CHECKSUM=0' switches checksums ON"}},
        CheckCase{"debug_0",
                  "DEBUG=0",
                  rung("I7041", "[4, 0, \"N7:1\", \"N7:0\"]"),
                  false,
                  1,
                  {"debug on", "'DEBUG=0' switches debugging ON"}},
        CheckCase{"unit", "TIMEOUT=70ms", AIN, false, 1, {"time-out 70 ms", "read as TIMEOUT=70"}},
        CheckCase{"blank_before_equals",
                  "BAUD =96",
                  AIN,
                  false,
                  2,
                  {"a blank before the '='", "Init would fail with 1002 BAD_OPTION"}},
        CheckCase{"analog_9600",
                  "BAUD=96 TIMEOUT=40 LATENCY=0",
                  AIN,
                  false,
                  1,
                  {"\"#01\\r\" (4) -> \">+dd.ddd", "R0 I7017@01h: read analog inputs (decimal): the time-out 40 ms",
                   "use TIMEOUT=70 or more"}},
        CheckCase{"analog_9600_checksum",
                  "BAUD=96 TIMEOUT=70 LATENCY=0 CHECKSUM",
                  AIN,
                  false,
                  1,
                  {"\"#0184\\r\" (6)", "use TIMEOUT=74 or more"}},
        CheckCase{"analog_9600_enough",
                  "BAUD=96 TIMEOUT=74 LATENCY=0 CHECKSUM",
                  AIN,
                  false,
                  0,
                  {"0 errors, 0 warnings", "with every module silent: 78.0 ms"}},
        // Through a serial adapter the reply comes up to LATENCY later.
        CheckCase{"analog_9600_latency",
                  "BAUD=96 TIMEOUT=74 CHECKSUM",
                  AIN,
                  false,
                  1,
                  {"through the serial adapter", "use TIMEOUT=91 or more"}},
        CheckCase{"plant",
                  "BAUD=96 TIMEOUT=200",
                  rung("I7041", "[1, 0, \"N7:1\", \"N7:0\"]") + AIN + rung("I7041", "[9, 0, \"N7:2\", \"N7:3\"]"),
                  true,
                  1,
                  {"R0 I7041@01h: the module at 01h is a 7018, which I7041 is not made for",
                   "R1 I7017@01h: \"Format:\" 0 reads the decimal form, but the module at 01h answers in the hex",
                   "the module at 01h has checksums on, the option string off",
                   "the module at 01h runs at 19200 baud, the option string at 9600; use BAUD=192",
                   "R2 I7041@09h: the plant has no module at 09h", "N7:0 is written by more than one rung: R0, R1"}},
        // 01h with checksums, 04h without: no one option string reaches both.
        CheckCase{"mixed_line",
                  "TIMEOUT=200",
                  rung("I7041", "[4, 0, \"N7:1\", \"N7:0\"]") + rung("I7018", "[1, 2, \"N7:4\", \"N7:2\", \"N7:3\"]"),
                  true,
                  1,
                  {"warning: one option string cannot reach the whole line: the modules the rungs address differ in "
                   "checksum setting, and this option string (19200 baud, checksum off) leaves out 01h (checksums on)"},
                  {"add CHECKSUM", "remove CHECKSUM"}},
        CheckCase{"plant_fits",
                  "TIMEOUT=200",
                  rung("I7041", "[4, 0, \"N7:1\", \"N7:0\"]"),
                  true,
                  0,
                  {"0 errors, 0 warnings"}},
        CheckCase{"bad_ladder",
                  "TIMEOUT=200",
                  rung("I7017", "[1, 0, \"F8:0\"]"),
                  false,
                  2,
                  {"ladder.toml:6:8: I7017 takes 4 operands"}}),
    [](const ::testing::TestParamInfo<CheckCase> &i) { return std::string(i.param.name); });

// Operands the module refuses before it sends anything: check gives each
// such rung the code run gives it, as an error, and no wire lines for it;
// a rung the module takes keeps its lines.
TEST_F(E2E, CheckGivesARefusedRungTheCodeRunGives)
{
    const struct {
        std::string rung;
        const char *code;    // run's "ErrCode:"
        const char *command; // what check would have shown on the wire
    } cases[] = {
        {rung("I7041", "[-1, 0, \"N7:1\", \"N7:2\"]"), "1007", "@FF"},
        {rung("I7RDMS", "[300, \"N7:3\", \"N7:4\"]"), "1007", "~2C"},
        {rung("I7041", "[65535, 0, \"N7:5\", \"N7:6\"]"), "1007", "@FF"},
        {rung("I7024", "[3, 5, 1.5, \"N7:7\"]"), "1016", "#035"},
        {rung("I7024", "[3, 0, 30.0, \"N7:8\"]"), "1014", "#030"},
        {rung("I7024", "[3, 0, nan, \"N7:9\"]"), "1014", "#030"},
        {rung("I7SHWV", "[3, 300, \"N7:10\"]"), "1019", "~0331"},
        {rung("I7017", "[1, 3, \"F8:0\", \"N7:11\"]"), "1015", "#01\\r"},
        {rung("I7017", "[1, 0, \"N7:20\", \"N7:12\"]"), "1017", "#01\\r"},
        {rung("I7018", "[2, 2, \"F8:8\", \"N7:13\", \"N7:14\"]"), "1017", "#02\\r"},
        {rung("I7RDC", "[4, 16, \"N7:15\", \"N7:16\"]"), "1016", "#040"},
        {rung("I7CDC", "[4, -1, \"N7:17\"]"), "1016", "$04C"},
        {rung("I7041", "[4, 0, \"N7:18\", \"N7:19\"]"), "0", "@04\\r"},
    };
    std::string ladder = kData;
    for (const auto &c : cases)
        ladder += c.rung;
    std::string path = writeFile("refused.toml", ladder);

    ASSERT_NO_FATAL_FAILURE(startSim());
    HostResult chk = hostCommand({"check", hostPath(path), "-o", "TIMEOUT=100"});
    EXPECT_EQ(chk.status, 2) << chk.output;
    HostResult h = hostFile(ladder, ROOMY, {"-n", "1"});
    ASSERT_EQ(h.status, 0) << h.output;
    size_t refused = 0;
    for (size_t r = 0; r < std::size(cases); ++r) {
        SCOPED_TRACE("R" + std::to_string(r));
        EXPECT_EQ(value(h, 0, r, "ErrCode"), cases[r].code);
        // The rung's part of the report: its line up to the next rung's.
        std::string head = "\n  R" + std::to_string(r) + " ";
        size_t at = chk.output.find(head);
        ASSERT_NE(at, std::string::npos) << chk.output;
        size_t end = chk.output.find("\n  R" + std::to_string(r + 1) + " ", at + 1);
        if (end == std::string::npos)
            end = chk.output.find("\nscan time on the wire", at);
        std::string part = chk.output.substr(at, end - at);
        std::string said = ": run gives " + std::string(cases[r].code) + " ";
        if (std::string(cases[r].code) == "0") {
            EXPECT_EQ(part.find("run gives"), std::string::npos) << part;
            EXPECT_NE(part.find("\"" + std::string(cases[r].command)), std::string::npos) << part;
            continue;
        }
        ++refused;
        EXPECT_NE(part.find("\nerror: R" + std::to_string(r) + " "), std::string::npos) << part;
        EXPECT_NE(part.find(said), std::string::npos) << part;
        EXPECT_EQ(part.find("\"" + std::string(cases[r].command)), std::string::npos) << part;
        EXPECT_EQ(part.find("checksum off  \""), std::string::npos) << part;
    }
    EXPECT_NE(chk.output.find("\n" + std::to_string(refused) + " errors, "), std::string::npos) << chk.output;
}

// explain: the entry of a code, by number or name.
TEST(Host, ExplainsACode)
{
    for (const char *what : {"1005", "timeout"}) {
        std::vector<std::string> argv = {config().host, "explain", what};
        if (config().wine)
            argv.insert(argv.begin(), "wine");
        HostResult h = e2e::runProgram(argv, {}, config().wine ? 60000 : 10000);
        EXPECT_EQ(h.status, 0) << h.output;
        EXPECT_NE(h.output.find("1005 TIMEOUT: no complete reply"), std::string::npos) << h.output;
        EXPECT_NE(h.output.find("wrong baud rate"), std::string::npos) << h.output;
    }
}

// ---------------------------------------------------------------------------
// survey: every module of a mixed plant is found at its own settings, with
// what it answers, and nothing that is not there.

TEST_F(E2E, SurveyFindsEveryModuleAndNothingElse)
{
    // Four speeds, both checksum settings, a module without a speed of its
    // own (it follows the line, so it answers at every speed), one set to a
    // speed the survey does not try, one outside the range.
    std::string plant = writeFile("survey-plant.toml", R"(
[line]
baud = 19200
[[module]]
address = 1
model = 7017
baud = 9600
[[module]]
address = 10
model = 7018
format = "hex"
checksum = true
ain = [25.0, "open"]
baud = 19200
[[module]]
address = 11
model = 7041
baud = 38400
status = 0x04
[[module]]
address = 12
model = 7024
checksum = true
baud = 115200
[[module]]
address = 13
model = 7053
baud = 57600
[[module]]
address = 14
model = 7041
[[module]]
address = 40
model = 7053
baud = 9600
)");
    ASSERT_NO_FATAL_FAILURE(startSim(19200, plant));
    HostResult h = hostCommand({"survey", "--from", "0", "--to", "16", "--baud", "96,192,384,1152"});
    ASSERT_EQ(h.status, 0) << h.output;
    const char *expected[] = {
        "01 (  1)    9600  off       0x00 ", "analog read (decimal)",
        "0A ( 10)   19200  on        0x00 ", "analog read (hex)",
        "0B ( 11)   38400  off       0x04 ", "digital read",
        "0C ( 12)  115200  on        0x00 ", "status only",
    };
    size_t at = 0;
    for (const char *e : expected) {
        size_t found = h.output.find(e, at);
        ASSERT_NE(found, std::string::npos) << e << "\n" << h.output;
        at = found;
    }
    EXPECT_NE(h.output.find("\naddress 0E (14) answered at more than one setting: 9600 baud, checksum off; 19200 "
                            "baud, checksum off; 38400 baud, checksum off; 115200 baud, checksum off"),
              std::string::npos)
        << h.output;
    EXPECT_NE(h.output.find("\n5 addresses answered"), std::string::npos) << h.output;
    EXPECT_EQ(h.output.find("address 01 (1) answered at more"), std::string::npos) << h.output;
    EXPECT_EQ(h.output.find("0D ( 13)"), std::string::npos) << h.output; // 57600 was not tried
    // The status reads wait a little beyond what the line was measured to
    // need, with no latency: their replies carry the module's address.
    EXPECT_NE(h.output.find("survey:  19200 baud, checksum on  (COMPORT=1 BAUD=192 TIMEOUT="), std::string::npos)
        << h.output;
    EXPECT_NE(h.output.find(" LATENCY=0 CHECKSUM):  1 answered"), std::string::npos) << h.output;
    EXPECT_NE(h.output.find("\nrecommended option string: COMPORT=1 BAUD="), std::string::npos) << h.output;

    // Nobody in the range: exit status 1.
    h = hostCommand({"survey", "--from", "41", "--to", "44", "--baud", "192", "--checksum", "off"});
    EXPECT_EQ(h.status, 1) << h.output;
    EXPECT_NE(h.output.find("no module answered"), std::string::npos) << h.output;
}

// The last read tried on the 7017 at 9600 baud is refused: the driver
// reports the "?" while the rest of the refusal is still on the wire, and the
// survey moves on to 19200 baud, where the 7053 sits at the first address
// it asks.  The 7053 is found, and nothing collides.
TEST_F(E2E, SurveyFindsTheFirstAddressAfterARefusalAtAnotherSpeed)
{
    std::string plant = writeFile("refusal-plant.toml", R"(
[line]
baud = 19200
[[module]]
address = 1
model = 7053
baud = 19200
[[module]]
address = 5
model = 7017
baud = 9600
)");
    ASSERT_NO_FATAL_FAILURE(startSim(19200, plant));
    for (int run = 0; run < 3; ++run) {
        SCOPED_TRACE(run);
        // (A time-out with room for wine's delivery of the replies.)
        HostResult h = hostCommand({"survey", "--from", "1", "--to", "10", "--checksum", "off", "--timeout", "60"});
        h.output = e2e::screenText(h.output); // line ends as '\n' also under wine
        ASSERT_EQ(h.status, 0) << h.output;
        EXPECT_NE(h.output.find("\n01 (  1)   19200  off       0x00 "), std::string::npos) << h.output;
        EXPECT_NE(h.output.find("\n05 (  5)    9600  off       0x00 "), std::string::npos) << h.output;
        // The 7017's reply takes longer than the time-out given for the
        // status reads, yet its read is tried with time enough for it.
        EXPECT_NE(h.output.find(" ms  analog read (decimal)\n"), std::string::npos) << h.output;
        EXPECT_NE(h.output.find("\n2 addresses answered\n"), std::string::npos) << h.output;
        // One option string reaches either module, never both.
        EXPECT_NE(h.output.find("one option string cannot reach the whole line: BAUD=96 without CHECKSUM reaches 1 "
                                "of the 2 addresses and leaves out 01 (1) at 19200 baud, checksum off"),
                  std::string::npos)
            << h.output;
    }
    auto stats = sim.command("stats");
    ASSERT_TRUE(stats.has_value());
    EXPECT_EQ(stats->find(" refused=0 "), std::string::npos) << "the 7017 refused a read\n" << *stats;
    EXPECT_NE(stats->find(" collisions=0 "), std::string::npos) << *stats;
}

// Three modules fresh from the factory, all at 01h: the survey finds their
// replies garbled there; each is brought up alone in INIT mode; identify
// then names every model, and again after the simulator saved the line and
// was started again from what it saved; the survey writes the line's bench
// twin, and check against the twin flags a rung made for another model.
TEST_F(E2E, FactoryFreshModulesBroughtUpToATwinOfTheLine)
{
    std::string plant = writeFile("factory.toml", R"(
[line]
baud = 9600
duplicate_addresses = true
[[module]]
address = 1
model = 7018
baud = 9600
turnaround_ms = 1.0
[[module]]
address = 1
model = 7053
baud = 9600
turnaround_ms = 2.8
[[module]]
address = 1
model = 7017
baud = 9600
turnaround_ms = 1.6
)");
    ASSERT_NO_FATAL_FAILURE(startSim(9600, plant));
    // (Time-outs with room for wine's delivery of the replies.)
    HostResult h =
        hostCommand({"survey", "--from", "0", "--to", "3", "--baud", "96", "--checksum", "off", "--timeout", "60"});
    EXPECT_EQ(h.status, 1) << h.output;
    EXPECT_NE(h.output.find("more than one module at 01h?"), std::string::npos) << h.output;

    // One at a time: INIT to ground, power up, configure at 00h, INIT off,
    // power up.  The module left at 01h goes last.
    const struct {
        const char *module;
        std::vector<std::string> change;
    } bench[] = {
        {"#1", {"--address", "2", "--baud", "19200", "--name", "TC1"}},
        {"#2", {"--address", "3", "--baud", "19200"}},
        {"#3", {"--address", "1", "--baud", "19200"}},
    };
    for (const auto &b : bench) {
        ctl(std::string("init ") + b.module + " 1");
        ctl(std::string("power ") + b.module);
        std::vector<std::string> args = {"configure", "0", "--init"};
        args.insert(args.end(), b.change.begin(), b.change.end());
        h = hostCommand(args);
        ASSERT_EQ(h.status, 0) << b.module << "\n" << h.output;
        ctl(std::string("init ") + b.module + " 0");
        ctl(std::string("power ") + b.module);
    }

    // What configure did, saved and given back by a simulator started
    // from it: the new addresses, speeds and name.
    const std::string saved = dir + "/saved.toml";
    for (bool restarted : {false, true}) {
        h = hostCommand({"identify", "--baud", "19200", "--checksum", "off"});
        ASSERT_EQ(h.status, 0) << (restarted ? "restarted\n" : "") << h.output;
        h.output = e2e::screenText(h.output);
        for (const char *row : {"\n01h   7017    1.00      08   19200   off      decimal",
                                "\n02h   TC1     1.00      0F   19200   off      decimal",
                                "\n03h   7053    1.00      40   19200   off      -"})
            EXPECT_NE(h.output.find(row), std::string::npos) << row << "\n" << h.output;
        if (restarted)
            break;
        ctl("save " + saved);
        sim.stop();
        ASSERT_NO_FATAL_FAILURE(startSim(9600, saved));
    }

    const std::string twin = dir + "/twin.toml";
    h = hostCommand({"survey", "--from", "0", "--to", "4", "--baud", "192", "--checksum", "off", "--timeout", "60",
                     "--write-plant", hostPath(twin)});
    ASSERT_EQ(h.status, 0) << h.output;
    std::ifstream in(twin);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const char *m : {"address = 1\nmodel = 7017\nbaud = 19200\n", "address = 2\nmodel = 7018\nbaud = 19200\n",
                          "address = 3\nmodel = 7053\nbaud = 19200\n"})
        EXPECT_NE(text.find(m), std::string::npos) << m << "\n" << text;

    const std::string ladder = writeFile("wrong-model.toml", kData + rung("I7017", "[1, 0, \"F8:0\", \"N7:0\"]") +
                                                                 rung("I7041", "[3, 0, \"N7:1\", \"N7:2\"]"));
    h = hostCommand({"check", hostPath(ladder), "--options", "COMPORT=1 BAUD=192", "--plant", hostPath(twin)});
    EXPECT_EQ(h.status, 1) << h.output;
    EXPECT_NE(h.output.find("the module at 03h is a 7053, which I7041 is not made for"), std::string::npos) << h.output;
    EXPECT_EQ(h.output.find("01h is a"), std::string::npos) << h.output;
}

// The bench of a commissioning test: the step hook is a script that hands
// each step to the test (a named pipe) and waits for its answer (another),
// while the test passes it to the simulator's control channel, so that a
// step is done before the host goes on.  "The module that will be 05h" is
// the next module of the plant file the first time 05 comes.
class Bench {
public:
    Bench(const std::string &dir, vsim::SimProcess &sim) : dir_(dir), sim_(sim)
    {
        mkfifo((dir + "/steps").c_str(), 0600);
        mkfifo((dir + "/done").c_str(), 0600);
        std::ofstream(hook())
            << "#!/bin/sh\n"
               "cd '" +
                   dir +
                   "' || exit 1\n"
                   "[ -f places ] || : > places\n"
                   "n=$(sed -n \"s/^$2 //p\" places)\n"
                   "if [ -z \"$n\" ]; then n=$(($(wc -l < places) + 1)); echo \"$2 $n\" >> places; fi\n"
                   "echo \"$1 #$n${3:+ $3}\" > steps\n"
                   "read answer < done\n"
                   "[ \"$answer\" = OK ]\n";
        chmod(hook().c_str(), 0700);
        relay_ = std::thread([this] { relay(); });
    }
    ~Bench()
    {
        std::ofstream(dir_ + "/steps") << "end\n";
        relay_.join();
    }
    std::string hook() const { return dir_ + "/bench.sh"; }
    // Forgets which module is which: a line of factory-fresh modules again.
    void reset() { unlink((dir_ + "/places").c_str()); }
    std::vector<std::string> steps; // as the simulator was given them

private:
    void relay()
    {
        for (;;) {
            std::string step;
            std::getline(std::ifstream(dir_ + "/steps"), step);
            if (step == "end")
                return;
            steps.push_back(step);
            auto r = sim_.command(step);
            std::ofstream(dir_ + "/done") << (r && r->rfind("OK", 0) == 0 ? "OK" : "ERR") << "\n";
        }
    }
    std::string dir_;
    vsim::SimProcess &sim_;
    std::thread relay_;
};

std::string examplesDir()
{
    const std::string plant = config().plant;
    return plant.substr(0, plant.rfind('/'));
}

// The text of a file, "" when there is none.
std::string fileText(const std::string &path)
{
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Eight factory-fresh modules (examples/factory-line.toml) brought to
// examples/design.toml with only the bench steps scripted, in turn: the
// check before finds every module missing; commission brings them up and
// its closing check finds no difference; a second run finds nothing to do;
// the simulator of the design itself is the finished line; a line with a
// 7017 where the 7053 of 05h is to come stops at that module.
TEST_F(E2E, CommissionBringsAFactoryLineToItsDesign)
{
    if (config().wine)
        GTEST_SKIP() << "the step hook is a POSIX shell script";
    const std::string design = examplesDir() + "/design.toml", factory = examplesDir() + "/factory-line.toml";
    std::string wrong = fileText(factory);
    const std::string pumps = "model = 7053\nbaud = 9600\ndin = 0x0001\n";
    ASSERT_NE(wrong.find(pumps), std::string::npos);
    wrong.replace(wrong.find(pumps), pumps.size(), "model = 7017\nbaud = 9600\n");
    const std::string wrongLine = writeFile("wrong-line.toml", wrong);
    const std::string record = dir + "/as-built.json";
    const struct {
        std::string plant; // the simulator started on it ("": the one before goes on)
        bool bringUp;      // --yes with the step hook, else --check
        int status;
        std::vector<std::string> expect, absent;
        size_t steps; // the bench steps done
    } runs[] = {
        {factory,
         false,
         1,
         {"  01h missing: designed 7017 'PRESS', garbled: more than one module", "  08h missing"},
         {"ground the INIT wire"},
         0},
        {"",
         true,
         0,
         {"8 of 8 designed modules to bring up, one at a time through INIT mode: 02h 03h 04h 05h 06h 07h 08h 01h",
          "  ground the INIT wire of the module that will be 05h (7053 'PUMPS'), power it up\n",
          "  verified: 05h answers as designed: 7053 'PUMPS', 19200 baud, checksum off",
          "\n01h   PRESS   1.00      08   19200   off      decimal", "the line is as designed: no differences"},
         {"press Enter"},
         32},
        {"", true, 0, {"the line is as designed: nothing to do"}, {"ground the INIT wire"}, 32},
        {design, false, 0, {"the line is as designed: no differences"}, {}, 32},
        {wrongLine,
         true,
         1,
         {"  verified: 04h answers as designed",
          "the module in INIT mode is a 7017; 05h is designed as a 7053: take its INIT wire off ground"},
         {"06h: 7043", "as-built record written"},
         32 + 4 * 3 + 2},
    };
    Bench bench(dir, sim);
    for (const auto &r : runs) {
        const std::string row = r.plant + (r.bringUp ? " --yes" : " --check");
        if (!r.plant.empty()) {
            if (sim.running())
                sim.stop();
            ASSERT_NO_FATAL_FAILURE(startSim(r.plant == design ? 19200 : 9600, r.plant));
            bench.reset();
        }
        std::vector<std::string> args = {"commission", design, "--to", "15", "--timeout", "300", "--record", record};
        if (r.bringUp)
            args.insert(args.end(), {"--yes", "--step-hook", bench.hook()});
        else
            args.push_back("--check");
        unlink(record.c_str());
        HostResult h = hostCommand(args, 240000);
        EXPECT_EQ(h.status, r.status) << row << "\n" << h.output;
        for (const std::string &e : r.expect)
            EXPECT_NE(h.output.find(e), std::string::npos) << row << ": " << e << "\n" << h.output;
        for (const std::string &e : r.absent)
            EXPECT_EQ(h.output.find(e), std::string::npos) << row << ": " << e << "\n" << h.output;
        EXPECT_EQ(bench.steps.size(), r.steps) << row;
        if (r.status != 0)
            continue;
        // The record: the eight modules as read back, no difference, and
        // the design it was checked against by its digest.
        const std::string json = fileText(record);
        HostResult sum = e2e::runProgram({"sha256sum", design}, {}, 10000);
        EXPECT_NE(json.find("\"sha256\": \"" + sum.output.substr(0, 64) + "\""), std::string::npos) << json;
        EXPECT_NE(json.find("\"differences\": []"), std::string::npos) << row << "\n" << json;
        EXPECT_NE(json.find("{ \"address\": 5, \"model\": \"7053\", \"name\": \"PUMPS\", \"firmware\": "
                            "\"1.00\", \"type\": \"40\", \"baud\": 19200, \"checksum\": false, \"format\": \"\" }"),
                  std::string::npos)
            << row << "\n"
            << json;
        EXPECT_NE(json.find("\"address\": 8,"), std::string::npos) << row << "\n" << json;
    }
    // The first step of the first module: the first module of the plant.
    ASSERT_GE(bench.steps.size(), 2u);
    EXPECT_EQ(bench.steps[0], "init #1 1");
    EXPECT_EQ(bench.steps[1], "power #1");
}

} // namespace

// ---------------------------------------------------------------------------
// Watching a line: the log of every scan and its plot, the per-module
// statistics, --fail-on-error, the live view in a terminal.

namespace {

std::string checkLogScript() { return std::string(VELDRAN_E2E_SOURCE_DIR) + "/check_log.py"; }

int runCheckLog(const std::vector<std::string> &args, std::string *out)
{
    std::vector<std::string> argv = {"python3", checkLogScript()};
    argv.insert(argv.end(), args.begin(), args.end());
    HostResult r = e2e::runProgram(argv, {}, 60000);
    *out = r.output;
    return r.status;
}

} // namespace

// The fields of a monitor line but its times (the first, and the reply's).
std::vector<std::string> monitorFields(const std::string &line)
{
    std::vector<std::string> f;
    for (size_t at = 0; at <= line.size();) {
        size_t end = line.find("  ", at);
        if (end == std::string::npos)
            end = line.size();
        const std::string part = line.substr(at, end - at);
        if (!f.empty() || !part.empty())
            f.push_back(part.rfind("reply ", 0) == 0 ? "reply" : part);
        at = end + 2;
    }
    if (!f.empty())
        f.erase(f.begin());
    return f;
}

// The exchange lines of the monitor's output (before its summary).
std::vector<std::vector<std::string>> monitorExchanges(const std::string &output)
{
    std::vector<std::vector<std::string>> xs;
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty() && isdigit(static_cast<unsigned char>(line[0])))
            xs.push_back(monitorFields(line));
    return xs;
}

// How the monitor holds the tap: the access mode of its descriptor of it.
int tapAccessMode(int pid, const std::string &tap)
{
    char target[256] = {};
    if (readlink(tap.c_str(), target, sizeof target - 1) <= 0)
        return -1;
    for (int fd = 0; fd < 64; ++fd) {
        const std::string proc = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
        char to[256] = {};
        if (readlink(proc.c_str(), to, sizeof to - 1) <= 0 || std::string(to) != target)
            continue;
        std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd));
        std::string key, value;
        while (info >> key >> value)
            if (key == "flags:")
                return static_cast<int>(std::stol(value, nullptr, 8) & O_ACCMODE);
    }
    return -1;
}

// The file a program in the background writes, so far.
std::string textOf(const std::string &path)
{
    std::ifstream f(path);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// The monitor listening on the tap, once it says so.
e2e::Background listenOnTap(const std::string &tap, const std::string &out, std::vector<std::string> more = {})
{
    std::vector<std::string> argv = {config().host, "monitor", tap, "--baud", "19200"};
    argv.insert(argv.end(), more.begin(), more.end());
    e2e::Background mon = e2e::startProgram(argv, {}, out);
    for (int i = 0; i < 1000 && textOf(out).find("monitor: listening on") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return mon;
}

// The last bytes cross the wire after the run has handed them over, and an
// exchange is printed once its reply has come or cannot come any more.
void awaitExchanges(const std::string &out, size_t n)
{
    for (int i = 0; i < 1000 && monitorExchanges(textOf(out)).size() < n; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// The monitor on the simulator's tap beside a run of the sample ladder:
// every exchange of the run once, in order, named with its instruction and
// with the run's values; the run's own capture and the monitor's replayed
// give the same lines; and the monitor holds the line read-only.  Finding the speed, it
// says which it found and hears the rest of the run from then on.
TEST_F(E2E, MonitorOnTheTapHearsEveryExchangeOfARun)
{
    if (config().wine)
        GTEST_SKIP() << "the live monitor is native only";
    const struct {
        const char *baud, *checksum;
        int scans;
        bool found; // the settings are found while the run goes on
    } table[] = {{"19200", "off", 3, false}, {"auto", "auto", 8, true}};
    for (const auto &t : table) {
        SCOPED_TRACE(t.baud);
        const std::string tap = dir + "/tap";
        const std::string said = dir + "/mon-" + t.baud + ".txt";
        startSim(19200, "", {"--tap", tap});
        const std::string heardCapture = dir + "/heard-" + t.baud + ".cap";
        e2e::Background mon = e2e::startProgram(
            {config().host, "monitor", tap, "--baud", t.baud, "--checksum", t.checksum, "--capture", heardCapture}, {},
            said);
        const auto saidText = [&said] {
            std::ifstream f(said);
            return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        };
        const char *ready = t.found ? "monitor: finding the line's speed" : "monitor: listening on";
        for (int i = 0; i < 500 && saidText().find(ready) == std::string::npos; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::ifstream ladder(config().plant.substr(0, config().plant.rfind('/')) + "/ladder.toml");
        const std::string text((std::istreambuf_iterator<char>(ladder)), std::istreambuf_iterator<char>());
        const std::string capture = dir + "/run.cap";
        const HostResult run =
            hostFile(text, "COMPORT=1 BAUD=192 TIMEOUT=200", {"-n", std::to_string(t.scans), "--capture", capture});
        ASSERT_EQ(run.status, 0) << run.output;
        EXPECT_EQ(tapAccessMode(mon.pid, tap), O_RDONLY);
        // What the run did, exchange by exchange: the 7060 and the 7065
        // write, then read back.
        std::vector<std::pair<std::string, const RungOut *>> made;
        for (const e2e::ScanOut &s : run.scans)
            for (const RungOut &r : s.rungs)
                if (r.on)
                    for (int n = r.id.rfind("I706", 0) == 0 && r.id[4] != '4' ? 2 : 1; n > 0; --n)
                        made.push_back({r.id, &r});
        // The last bytes cross the wire after the run has handed them over.
        for (int i = 0; i < 500 && monitorExchanges(saidText()).size() < made.size(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const HostResult live = e2e::finishProgram(mon, SIGINT, 5000);
        EXPECT_EQ(live.status, 0) << live.output;
        // Whatever a listener writes to the tap the simulator counts.
        const auto stats = sim.command("stats");
        EXPECT_NE(stats.value_or("").find(" tapwritten=0 "), std::string::npos) << stats.value_or("no reply");
        const auto heard = monitorExchanges(live.output);
        if (t.found) {
            EXPECT_NE(live.output.find("monitor: the commands carry no checksums: checksum off"), std::string::npos)
                << live.output;
            EXPECT_NE(live.output.find("monitor: the line runs at 19200 baud\n"), std::string::npos) << live.output;
            ASSERT_GE(heard.size(), made.size() / 2) << live.output;
            ASSERT_LE(heard.size(), made.size()) << live.output;
            made.erase(made.begin(), made.end() - static_cast<std::ptrdiff_t>(heard.size()));
        }
        ASSERT_EQ(heard.size(), made.size()) << live.output;
        for (size_t i = 0; i < made.size(); ++i) {
            SCOPED_TRACE(made[i].first);
            ASSERT_GE(heard[i].size(), 6u);
            const size_t at = made[i].first.find('@');
            const std::string instr = made[i].first.substr(0, at);
            EXPECT_EQ(heard[i][0], at == std::string::npos ? "**" : made[i].first.substr(at + 1));
            EXPECT_NE(("/" + heard[i][1] + "/").find("/" + instr + "/"), std::string::npos) << heard[i][1];
            EXPECT_EQ(heard[i][5], "ok");
            if (instr == "I7017" && !t.found) {
                EXPECT_EQ(heard[i][3], "AIN=" + made[i].second->values.at("AIN"));
            }
        }
        if (!t.found) {
            const HostResult replay = hostCommand({"monitor", "--replay", capture, "--baud", "19200"});
            EXPECT_EQ(replay.status, 0) << replay.output;
            EXPECT_EQ(monitorExchanges(replay.output), heard);
            // What the monitor heard, captured as it came, replayed.
            const HostResult again = hostCommand({"monitor", "--replay", heardCapture, "--baud", "19200"});
            EXPECT_EQ(again.status, 0) << again.output;
            EXPECT_EQ(monitorExchanges(again.output), heard);
        }
        sim.stop();
    }
}

// The bench from a capture: the sample ladder run with --capture, one reply
// lost on the way; the plant the monitor writes from the capture's replay,
// its fault switched on as its comment says, answers the same ladder with
// the same codes and values, rung by rung, scan by scan.
TEST_F(E2E, BenchFromTheCaptureOfARunAnswersTheRunAgain)
{
    if (config().wine)
        GTEST_SKIP() << "the capture of the serial library is native only";
    startSim(19200);
    ctl("fault 3 silence count=1");
    std::ifstream ladder(config().plant.substr(0, config().plant.rfind('/')) + "/ladder.toml");
    const std::string text((std::istreambuf_iterator<char>(ladder)), std::istreambuf_iterator<char>());
    const std::string capture = dir + "/run.cap", bench = dir + "/bench.toml";
    const HostResult first = hostFile(text, "COMPORT=1 BAUD=192 TIMEOUT=200", {"-n", "3", "--capture", capture});
    ASSERT_EQ(first.status, 0) << first.output;
    sim.stop();
    const HostResult made = hostCommand({"monitor", "--replay", capture, "--baud", "19200", "--write-plant", bench});
    ASSERT_EQ(made.status, 0) << made.output;
    EXPECT_NE(made.output.find("monitor: the bench of 9 modules written to"), std::string::npos) << made.output;

    std::ifstream in(bench);
    std::vector<std::string> switches;
    for (std::string line; std::getline(in, line);)
        if (const size_t at = line.find("no reply (fault "); line.rfind("# ", 0) == 0 && at != std::string::npos)
            switches.push_back(line.substr(at + 10, line.size() - at - 11));
    ASSERT_EQ(switches, std::vector<std::string>{"fault 3 silence count=1"});
    ASSERT_NO_FATAL_FAILURE(startSim(19200, bench));
    ctl(switches[0]);
    const HostResult again = hostFile(text, "COMPORT=1 BAUD=192 TIMEOUT=200", {"-n", "3"});
    ASSERT_EQ(again.status, 0) << again.output;
    ASSERT_EQ(again.scans.size(), first.scans.size());
    for (size_t s = 0; s < first.scans.size(); ++s) {
        ASSERT_EQ(again.scans[s].rungs.size(), first.scans[s].rungs.size());
        for (size_t r = 0; r < first.scans[s].rungs.size(); ++r) {
            const RungOut &want = first.scans[s].rungs[r], &got = again.scans[s].rungs[r];
            SCOPED_TRACE("scan " + std::to_string(s + 1) + " " + want.id);
            EXPECT_EQ(got.id, want.id);
            EXPECT_EQ(got.on, want.on);
            EXPECT_EQ(got.values, want.values);
        }
    }
    EXPECT_EQ(first.scans.at(0).rungs.at(2).values.at("ErrCode"), "1005");
}

// The monitor on the tap while a line fault strikes one module of a small
// ladder: each of that module's exchanges is named as what the fault is on
// the wire, every other one is "ok" (and the run got its code 0 from it),
// and the run's own capture decodes the same, but where the host's side
// legitimately differs from the wire's: a late reply reaches the host only
// when it next reads the port (its capture dates the bytes then, before the
// next scan's command), and a collision the host never heard apart (none
// here) is one garbled byte on the tap.  The faulted module comes first, and
// the late reply and the babble come in quiet time with 150 ms or more to
// spare for a loaded machine (the host's next command waits for its
// time-out): what the monitor says is then what the fault is, not a
// collision the test made.
TEST_F(E2E, MonitorNamesEachLineFaultOnTheTap)
{
    if (config().wine)
        GTEST_SKIP() << "the live monitor is native only";
    const struct {
        const char *name;
        std::vector<std::string> control; // to the simulator before the run
        std::string address;              // the module struck
        std::string heard;                // what the monitor says of its exchanges
        bool checksum = false;
        bool replaySame = true;
        // The run's time-out: the longest, but where the host's next command
        // must come well inside the monitor's reply window (600 ms).
        int timeoutMs = 500;
    } table[] = {
        {"refused", {"fault 4 refuse"}, "04h", "refused"},
        {"silent", {"fault 4 silence"}, "04h", "no reply"},
        {"set to another speed: it hears garbage and says nothing", {"set 4 baud 9600"}, "04h", "no reply"},
        {"noise before each reply, which comes whole", {"fault 4 noise"}, "04h", "ok"},
        {"babbling for 50 ms instead of its reply", {"fault 4 babble delay=50"}, "04h", "garbled", false, true, 350},
        {"late by 450 ms, after the next modules' exchanges",
         {"fault 5 late delay=450"},
         "05h",
         "late reply",
         false,
         false,
         200},
        {"bad checksums",
         {"set 1 checksum 1", "set 4 checksum 1", "set 5 checksum 1", "fault 5 badsum"},
         "05h",
         "bad checksum",
         true},
    };
    const std::string ladder = rung("I7RDMS", "[5, \"N7:0\", \"N7:1\"]") + rung("I7041", "[4, 0, \"N7:2\", \"N7:3\"]") +
                               rung("I7017", "[1, 0, \"F8:0\", \"N7:4\"]");
    const char *const addresses[] = {"05h", "04h", "01h"};
    for (const auto &t : table) {
        SCOPED_TRACE(t.name);
        const std::vector<std::string> sums = {"--checksum", t.checksum ? "on" : "off"};
        HostResult run, live;
        std::string capture, stats;
        // A machine that puts the host aside for longer than the margins
        // above makes a collision the row does not mean (the simulator counts
        // it, whatever the monitor says): the row is run again, three times
        // at most.
        for (int attempt = 0; attempt < 3 && stats.find(" collisions=0 ") == std::string::npos; ++attempt) {
            if (sim.running())
                sim.stop();
            const std::string tap = dir + "/tap", out = dir + "/mon" + std::to_string(sims) + ".txt";
            ASSERT_NO_FATAL_FAILURE(startSim(19200, "", {"--tap", tap}));
            for (const std::string &c : t.control)
                ASSERT_NO_FATAL_FAILURE(ctl(c));
            e2e::Background mon = listenOnTap(tap, out, sums);
            capture = dir + "/run" + std::to_string(sims) + ".cap";
            run = host(ladder,
                       "COMPORT=1 BAUD=192 TIMEOUT=" + std::to_string(t.timeoutMs) + (t.checksum ? " CHECKSUM" : ""),
                       {"-n", "2", "-p", "900", "--capture", capture});
            ASSERT_EQ(run.status, 0) << run.output;
            ASSERT_EQ(run.scans.size(), 2u) << run.output;
            awaitExchanges(out, 6);
            live = e2e::finishProgram(mon, SIGINT, 5000);
            EXPECT_EQ(live.status, 0) << live.output;
            stats = sim.command("stats").value_or("");
            // Whatever a listener writes to the tap the simulator counts.
            EXPECT_NE(stats.find(" tapwritten=0 "), std::string::npos) << stats;
        }
        EXPECT_NE(stats.find(" collisions=0 "), std::string::npos) << stats;
        const auto heard = monitorExchanges(live.output);
        ASSERT_EQ(heard.size(), 6u) << live.output;
        // A host put aside for longer than its time-out reads a whole reply
        // too late (1005): its side then differs from the wire's.
        bool hostInTime = true;
        for (size_t i = 0; i < heard.size(); ++i) {
            ASSERT_GE(heard[i].size(), 6u) << live.output;
            EXPECT_EQ(heard[i][0], addresses[i % 3]) << live.output;
            if (heard[i][0] == t.address) {
                EXPECT_EQ(heard[i][5], t.heard) << live.output;
            } else {
                EXPECT_EQ(heard[i][5], "ok") << live.output;
                hostInTime = hostInTime && run.scans[i / 3].rungs.at(i % 3).values.at("ErrCode") == "0";
            }
        }
        const HostResult replay =
            hostCommand({"monitor", "--replay", capture, "--baud", "19200", "--checksum", sums[1]});
        EXPECT_EQ(replay.status, 0) << replay.output;
        if (t.replaySame && hostInTime) {
            EXPECT_EQ(monitorExchanges(replay.output), heard) << replay.output << "\n" << live.output;
        }
    }
}

// ---------------------------------------------------------------------------
// The loop check of a design on its twin (the simulator started on the
// design), and the report made from its results.

// Waits until the file holds `text` after `from`; its position after it,
// or npos after 20 s (a loaded machine).
size_t waitForText(const std::string &path, const std::string &text, size_t from)
{
    for (int i = 0; i < 2000; ++i) {
        const std::string now = fileText(path);
        const size_t at = now.find(text, from);
        if (at != std::string::npos)
            return at + text.size();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::string::npos;
}

// One step of the check: a change on the twin first (a control command,
// "" none), the line sent to the check's script, what the check then says,
// and what the twin shows of an output then ("" not asked).
struct LoopStep {
    const char *twin, *command, *says, *get, *shows;
};

TEST_F(E2E, LoopCheckReadsInputsForcesOutputsAndPutsThemBackOnCtrlC)
{
    if (config().wine)
        GTEST_SKIP() << "the script comes through a named pipe, which the test drives natively only";
    const std::string design = dir + "/design.toml";
    std::ofstream(design) << fileText(examplesDir() + "/loopcheck-design.toml");
    ASSERT_NO_FATAL_FAILURE(startSim(19200, design));
    const std::string script = dir + "/script", out = dir + "/loopcheck.txt";
    ASSERT_EQ(mkfifo(script.c_str(), 0600), 0);
    e2e::Background check = e2e::startProgram(
        {config().host, "loopcheck", design, "--script", script, "--engineer", "E2E", "--timeout", "200"},
        {"VELDRAN_COM1=" + sim.slavePath()}, out);
    // The check opens its script once it has read the design.
    int fd = -1;
    for (int i = 0; i < 2000 && fd < 0; ++i) {
        fd = open(script.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_GE(fd, 0) << fileText(out);
    const LoopStep steps[] = {
        {"set 1 ain 0 16", "read", "PT-101 reads 7.500 bar", "", ""},
        {"", "pass", "TT-102  return temperature  01h (7017) channel 1, analog input", "", ""},
        {"set 1 ain 1 4.25", "read", "TT-102 reads 42.500 degC", "", ""},
        {"", "pass", "FV-201  feed valve  03h (7024) channel 0, analog output 0 to 100 % (signal 4 to 20)", "", ""},
        {"", "set 75", "FV-201 forced to 75.000 %: written 16.000, the module answered", "3 aout 0", "16.000"},
        {"", "pass", "FV-201 back to its safe value 0.000 %", "3 aout 0", "4.000"},
        {"set 7 din 0x1230", "read", "LS-301 reads 0", "", ""},
        {"", "pass", "XV-401  drain solenoid  05h (7043) bit 3, digital output: holds 0", "", ""},
        {"", "set 1", "XV-401 forced to 1: reads back 1", "5 dout", "0008"},
        {"", "pass", "XV-401 back to its safe value 0, reads back 0", "5 dout", "0000"},
        {"set 8 din 0x0", "read", "HS-501 reads 0", "", ""},
        {"", "skip no pump on the bench", "XP-502  pump start  08h (7060) bit 1, digital output: holds 0", "", ""},
        {"", "set 1", "XP-502 forced to 1: reads back 1", "8 dout", "2"},
    };
    size_t at = 0;
    for (const LoopStep &s : steps) {
        SCOPED_TRACE(s.command);
        if (*s.twin)
            ctl(s.twin);
        const std::string line = std::string(s.command) + "\n";
        ASSERT_EQ(write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        at = waitForText(out, s.says, at);
        ASSERT_NE(at, std::string::npos) << fileText(out);
        if (*s.get) {
            EXPECT_EQ(get(s.get), s.shows);
        }
    }
    // Ctrl-C with XP-502 forced: the relay back to its safe value, the
    // results saved, status 130.
    last = e2e::finishProgram(check, SIGINT, 20000);
    close(fd);
    EXPECT_EQ(last.status, 130) << last.output;
    EXPECT_NE(last.output.find("XP-502 back to its safe value 0, reads back 0"), std::string::npos) << last.output;
    EXPECT_EQ(get("8 dout"), "0");
    const std::string results = fileText(dir + "/design.loopcheck.json");
    for (const char *r :
         {"\"tag\": \"PT-101\",\n      \"result\": \"passed\",\n      \"note\": \"\",\n      \"seen\": "
          "\"7.500 bar\",\n      \"engineer\": \"E2E\"",
          "\"tag\": \"HS-501\",\n      \"result\": \"skipped\",\n      \"note\": \"no pump on the bench\"",
          "\"tag\": \"XV-401\",\n      \"result\": \"passed\",\n      \"note\": \"\",\n      \"seen\": \"forced 1, "
          "reads back 1\"",
          "\"tag\": \"XP-502\",\n      \"result\": \"open\""})
        EXPECT_NE(results.find(r), std::string::npos) << r << "\n" << results;

    // Taken up again: the passed points kept, the check starts at XP-502.
    const std::string rest = writeFile("rest.txt", "set 1\nfail the contactor did not pull in\n");
    HostResult again = hostCommand({"loopcheck", design, "--script", rest, "--engineer", "E2E", "--timeout", "200"});
    EXPECT_EQ(again.status, 0) << again.output;
    EXPECT_NE(again.output.find(", 7 points, options COMPORT=1 BAUD=192 TIMEOUT=200 LATENCY=20"), std::string::npos)
        << again.output;
    EXPECT_NE(again.output.find("\nXP-502  pump start"), std::string::npos) << again.output;
    EXPECT_EQ(again.output.find("PT-101"), std::string::npos) << again.output;
    EXPECT_NE(again.output.find("loopcheck: 5 passed, 1 failed, 1 skipped, 0 open"), std::string::npos) << again.output;
    EXPECT_EQ(get("8 dout"), "0");
}

TEST_F(E2E, ReportRendersInChromiumAsItsJsonSays)
{
    if (config().wine)
        GTEST_SKIP() << "the report is checked with the native host";
    if (access("/usr/bin/chromium", X_OK) != 0)
        GTEST_SKIP() << "chromium is not installed (scripts/setup.sh installs it)";
    const std::string design = dir + "/design.toml";
    std::ofstream(design) << fileText(examplesDir() + "/loopcheck-design.toml");
    // The records as commissioning and the loop check write them, with text
    // the page must escape.
    const std::string built = writeFile("design.as-built.json", R"({ "kind": "veldran-as-built", "version": 1,
  "date": "2026-12-09T10:00:00Z", "port": "2", "design": { "file": "design.toml", "sha256": "00" },
  "line": [ { "address": 1, "model": "7017", "name": "7017", "firmware": "1.00", "type": "08", "baud": 19200,
              "checksum": false, "format": "decimal" },
            { "address": 5, "model": "7043", "name": "SOL<1>", "firmware": "1.00", "type": "40", "baud": 19200,
              "checksum": true, "format": "" } ],
  "differences": [ { "address": 3, "item": "missing", "design": "7024", "line": "" } ] })");
    const std::string loop = writeFile("design.loopcheck.json", R"({ "kind": "veldran-loopcheck", "version": 1,
  "design": { "file": "design.toml", "sha256": "" },
  "points": [ { "tag": "PT-101", "result": "passed", "note": "", "seen": "7.500 bar", "engineer": "E2E",
                "date": "2026-12-09T11:00:00.000Z" },
              { "tag": "XP-502", "result": "failed", "note": "relay \"K2\" & <stuck>", "seen": "forced 1, reads back 1",
                "engineer": "E2E", "date": "2026-12-09T11:05:00.000Z" } ] })");
    const std::string page = dir + "/handover.html";
    HostResult h = hostCommand(
        {"report", design, "--as-built", built, "--loopcheck", loop, "--engineer", "A. N. Other", "-o", page});
    ASSERT_EQ(h.status, 0) << h.output;
    EXPECT_NE(h.output.find("2 modules read back, 1 differences, 6 of 7 points left open"), std::string::npos)
        << h.output;
    const std::string data = fileText(dir + "/handover.json");
    for (const char *s : {"\"options\": \"COMPORT=2 BAUD=192 TIMEOUT=", "\"engineer\": \"A. N. Other\"",
                          "\"file\": \"veldran.", "was made against another version of"})
        EXPECT_NE(data.find(s), std::string::npos) << s << "\n" << data;
    const std::string pdf = dir + "/handover.pdf";
    const HostResult checked = e2e::runProgram({"python3", std::string(VELDRAN_E2E_SOURCE_DIR) + "/check_report.py",
                                                "/usr/bin/chromium", page, dir + "/handover.json", pdf},
                                               {}, 240000);
    EXPECT_EQ(checked.status, 0) << checked.output;
    const std::string &said = checked.output;
    EXPECT_NE(said.find("as the JSON says"), std::string::npos) << said;
}

TEST_F(E2E, LogsEveryScanAndPlotsTheLog)
{
    ASSERT_NO_FATAL_FAILURE(startSim());
    std::string csv = dir + "/run.csv", png = dir + "/trend.png";
    // 01h answers; nobody is at 20h, whose every read times out.
    HostResult h = host(rung("I7017", "[1, 0, \"F8:0\", \"N7:0\"]") + rung("I7041", "[32, 0, \"N7:1\", \"N7:2\"]"),
                        ROOMY, {"--scans", "4", "--quiet", "--log", hostPath(csv), "--fail-on-error"});
    h.output = e2e::screenText(h.output);
    EXPECT_EQ(h.status, 4) << h.output;
    for (const char *s : {"modules:\n  01h: 4 exchanges; 0 OK x 4; response min ",
                          "\n  20h: 4 exchanges; 1005 TIMEOUT x 4; response min ", "; longest failure run 4"})
        EXPECT_NE(h.output.find(s), std::string::npos) << s << "\n" << h.output;
    std::string said;
    EXPECT_EQ(runCheckLog({csv, "4", "R0.I7017@01h.AIN[1]=2.5", "R0.I7017@01h.ErrCode=0", "R1.I7041@20h.ErrCode=1005",
                           "R1.I7041@20h.on=1"},
                          &said),
              0)
        << said;

    // The plot is the native host's: two module panels and the scan time.
    HostResult p = e2e::runProgram({VELDRAN_E2E_NATIVE_HOST, "plot", csv, "-o", png}, {}, 60000);
    ASSERT_EQ(p.status, 0) << p.output;
    EXPECT_EQ(runCheckLog({"--png", png, "1000", "720"}, &said), 0) << said;
    if (config().wine) {
        HostResult w = hostCommand({"plot", hostPath(csv), "-o", hostPath(png)});
        EXPECT_EQ(w.status, 2) << w.output;
        EXPECT_NE(w.output.find("plot needs the native veldran-host"), std::string::npos) << w.output;
    }
}

// The simulator goes away under a run without end that logs every scan:
// every exchange then fails with 1010.  The run says so once, ends with its
// own status instead of scanning on at full speed, and the log stops with
// it.
TEST_F(E2E, PortThatGoesAwayEndsALoggedRun)
{
    ASSERT_NO_FATAL_FAILURE(startSim());
    std::string csv = dir + "/run.csv";
    std::thread unplug([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        sim.stop();
    });
    HostResult h = host(READ_AIN + READ_DIN, "TIMEOUT=50", {"-n", "0", "-q", "--log", hostPath(csv)});
    unplug.join();
    h.output = e2e::screenText(h.output);
    EXPECT_EQ(h.status, 5) << h.output;
    const std::string gone = "COM1 (";
    size_t at = h.output.find(") is gone: every exchange of scan ");
    ASSERT_NE(at, std::string::npos) << h.output;
    EXPECT_EQ(h.output.rfind(gone, at), h.output.rfind("\n", at) + 1) << h.output;
    EXPECT_EQ(h.output.find(") is gone: ", at + 1), std::string::npos) << "said twice\n" << h.output;
    EXPECT_NE(h.output.find("the run ends with exit status 5"), std::string::npos) << h.output;

    // One row per scan up to the one that found the port gone, and at most
    // one more than that with a 1010 in it (the scan the port went in).
    std::ifstream in(csv);
    std::string head, row;
    ASSERT_TRUE(std::getline(in, head));
    if (!head.empty() && head.back() == '\r')
        head.pop_back(); // written under wine
    std::vector<size_t> codes;
    {
        std::istringstream cols(head);
        std::string c;
        for (size_t i = 0; std::getline(cols, c, ','); ++i)
            if (c.size() > 8 && c.compare(c.size() - 8, 8, ".ErrCode") == 0)
                codes.push_back(i);
    }
    ASSERT_EQ(codes.size(), 2u) << head;
    long rows = 0, refused = 0;
    while (std::getline(in, row)) {
        if (!row.empty() && row.back() == '\r')
            row.pop_back();
        ++rows;
        std::vector<std::string> f;
        std::istringstream cells(row);
        for (std::string c; std::getline(cells, c, ',');)
            f.push_back(c);
        for (size_t i : codes)
            if (i < f.size() && f[i] == "1010") {
                ++refused;
                break;
            }
    }
    size_t sum = h.output.find("summary: ");
    ASSERT_NE(sum, std::string::npos) << h.output;
    EXPECT_EQ(rows, std::stol(h.output.substr(sum + 9))) << h.output;
    EXPECT_GE(refused, 1);
    EXPECT_LE(refused, 2) << h.output;
}

TEST_F(E2E, LiveViewRedrawsInATerminalAndCtrlCEndsIt)
{
    ASSERT_NO_FATAL_FAILURE(startSim());
    std::string path = writeFile("live.toml", kData + rung("I7017", "[1, 0, \"F8:0\", \"N7:0\"]") +
                                                  rung("I7024", "[3, 0, { ramp = [0.0, 9.5], scans = 20 }, \"N7:2\"]"));
    std::vector<std::string> argv = {config().host, "run",         hostPath(path), "--scans",
                                     "0",           "--period-ms", "250",          "--live"};
    std::vector<std::string> env;
    if (config().wine)
        argv.insert(argv.begin(), "wine");
    else
        env.push_back("VELDRAN_COM1=" + sim.slavePath());
    // At scan 3 the terminal becomes 60 columns by 20 rows.
    last = e2e::runInPty(argv, env, config().wine ? 120000 : 30000, "scan 6 ", {"scan 3 ", 60, 20});
    const std::string &raw = last.output;
    std::string out = e2e::screenText(raw);
    ASSERT_EQ(last.status, 0) << out;
    size_t summary = out.find("summary: ");
    ASSERT_NE(summary, std::string::npos) << out;
    if (config().wine) {
        // No terminal to draw on under wine: the plain output, and Ctrl-C
        // ends it as it ends a plain run.
        EXPECT_NE(out.find("the plain output follows"), std::string::npos) << out;
        EXPECT_NE(out.find("\n  R1  I7024@03h  on "), std::string::npos) << out;
        EXPECT_NE(out.find("\n  01h: ", summary), std::string::npos) << out;
        return;
    }
    // The screen, then the summary below the last one.
    for (const char *s : {"\nscan 3 ", "R0  I7017@01h  on ", "AIN=[1,2.5,-3.25,", "R1  I7024@03h  on ",
                          "modules: exchanges, codes, response min/median/max", "\n01h  ", "\n03h  "})
        EXPECT_NE(out.find(s), std::string::npos) << s << "\n" << out;
    EXPECT_EQ(out.find("\n  R0  I7017"), std::string::npos) << "plain output as well\n" << out;
    EXPECT_NE(out.find("\n  01h: ", summary), std::string::npos) << out; // the summary's module lines
    // Cursor hidden, the screen redrawn from the top with each line cleared
    // to its end, the values that changed since the last redraw (the
    // ramp's) marked; the cursor shown again before the summary.
    EXPECT_NE(raw.find("\x1b[?25l"), std::string::npos);
    EXPECT_NE(raw.find("\x1b[Hscan 3 "), std::string::npos) << raw;
    EXPECT_NE(raw.find("\x1b[7mAOUT=0.5\x1b[27m"), std::string::npos) << raw;
    size_t shown = raw.rfind("\x1b[?25h");
    ASSERT_NE(shown, std::string::npos) << raw;
    EXPECT_LT(shown, raw.find("summary: "));
    // After the resize the screen is cleared and drawn at the new size: the
    // last screen has no line over 60 columns and no more than 20 lines.
    size_t cleared = raw.find("\x1b[2J\x1b[H", raw.find("\x1b[Hscan 3 "));
    ASSERT_NE(cleared, std::string::npos) << raw;
    size_t lastScreen = raw.rfind("\x1b[Hscan ");
    ASSERT_GT(lastScreen, cleared) << raw;
    std::istringstream screen(e2e::screenText(raw.substr(lastScreen, shown - lastScreen)));
    size_t rows = 0;
    for (std::string l; std::getline(screen, l); ++rows)
        EXPECT_LE(l.size(), 60u) << l;
    EXPECT_LE(rows, 20u) << raw.substr(lastScreen);
}

// The rough edges of the command line, with a ladder file given the Unix
// way (also under wine, where it must not be taken for an option).
struct EdgeCase {
    const char *name;
    std::vector<std::string> args; // "LADDER": the ladder file's Unix path; "PLANT": the plant's
    int status;
    std::vector<std::string> expect;
    long minScans;                // 0: not checked
    std::string interruptAt = {}; // run in a terminal, Ctrl-C once this shows ("": neither)
    bool nativeOnly = false;      // what it checks has no counterpart under wine
    int comAbove4 = 0;            // under wine only: the simulator on COM<this>, which VELDRAN_COM1 names
    std::string plant = {};       // the simulator's plant ("": the sample plant)
    std::string rungs = {};       // the ladder's rungs ("": one I7017 at 01h)
    // (The argument "PLANT" names the plant's file: a design, for commission.)
    // The lines of the file the argument "TRACE" names (--trace), each
    // without its time stamp.
    std::vector<std::string> traced = {};
};

// Two factory-fresh 7017s at 01h, at the same turn-around: their replies
// collide to their ends; and a 7053 of its own at 03h.
const char *kTwoAtOne = R"(
[line]
baud = 9600
duplicate_addresses = true
[[module]]
address = 1
model = 7017
baud = 9600
[[module]]
address = 1
model = 7017
baud = 9600
[[module]]
address = 3
model = 7053
baud = 9600
)";

// A design of one point: input 4 of a 7053, on at rest (0x1234).
const char *kOnePoint = R"(
[[module]]
address = 7
model = 7053
din = 0x1234
[[point]]
tag = "LS-1"
description = "one input"
address = 7
direction = "in"
bit = 4
)";

void PrintTo(const EdgeCase &c, std::ostream *os) { *os << c.name; }

class HostEdges : public E2E, public ::testing::WithParamInterface<EdgeCase> {};

TEST_P(HostEdges, ExitStatusAndOutput)
{
    const EdgeCase &c = GetParam();
    if (c.nativeOnly && config().wine)
        GTEST_SKIP() << "native only";
    if (c.comAbove4 && !config().wine)
        GTEST_SKIP() << "wine only";
    std::vector<std::string> env;
    if (c.comAbove4) {
        // COM1's own path leads nowhere; the prefix's COMk (mapped like
        // every port to a path under the wine folder) leads to the
        // simulator, and only the variable can take COM1 there.
        simLink = "com" + std::to_string(c.comAbove4);
        unlink((config().wineDir + "/ports/com1").c_str());
        env.push_back("VELDRAN_COM1=COM" + std::to_string(c.comAbove4));
    }
    const std::string plant = c.plant.empty() ? "" : writeFile("plant.toml", c.plant);
    ASSERT_NO_FATAL_FAILURE(startSim(19200, plant));
    std::string ladder =
        writeFile("edge.toml", kData + (c.rungs.empty() ? rung("I7017", "[1, 0, \"F8:0\", \"N7:0\"]") : c.rungs));
    const std::string trace = dir + "/trace.txt";
    std::vector<std::string> args;
    for (const std::string &a : c.args)
        args.push_back(a == "LADDER" ? ladder : a == "TRACE" ? hostPath(trace) : a == "PLANT" ? hostPath(plant) : a);
    HostResult h;
    if (c.interruptAt.empty()) {
        h = hostCommand(args, 60000, env);
    } else {
        args.insert(args.begin(), config().host);
        if (config().wine)
            args.insert(args.begin(), "wine");
        else
            env.push_back("VELDRAN_COM1=" + sim.slavePath());
        last = h = e2e::runInPty(args, env, config().wine ? 120000 : 30000, c.interruptAt);
    }
    h.output = e2e::screenText(h.output); // line ends as '\n' also under wine
    EXPECT_EQ(h.status, c.status) << h.output;
    for (const std::string &e : c.expect) {
        size_t at = h.output.find(e);
        EXPECT_NE(at, std::string::npos) << e << "\n" << h.output;
        if (at != std::string::npos) {
            EXPECT_EQ(h.output.find(e, at + 1), std::string::npos) << "said twice: " << e << "\n" << h.output;
        }
    }
    if (c.minScans) {
        size_t at = h.output.find("summary: ");
        ASSERT_NE(at, std::string::npos) << h.output;
        EXPECT_GE(std::stol(h.output.substr(at + 9)), c.minScans) << h.output;
    }
    if (!c.traced.empty()) {
        // "2026-12-08T07:53:12.345Z scan 1 R0 I7041@0Bh: addr=11  ec=1005"
        std::ifstream in(trace);
        std::vector<std::string> lines;
        for (std::string l; std::getline(in, l);) {
            if (!l.empty() && l.back() == '\r')
                l.pop_back(); // written under wine
            size_t stamp = l.find(' ');
            EXPECT_TRUE(stamp == 24 && l[23] == 'Z') << l;
            lines.push_back(stamp == std::string::npos ? l : l.substr(stamp + 1));
        }
        EXPECT_EQ(lines, c.traced);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostEdges,
    ::testing::Values(
        EdgeCase{"no_subcommand", {}, 1, {"A subcommand is required"}, 0},
        EdgeCase{"unknown_option", {"list", "--bogus"}, 1, {"--bogus"}, 0}, EdgeCase{"help_misuse", {"help"}, 1, {}, 0},
        EdgeCase{"version", {"--version"}, 0, {"veldran-host " VELDRAN_E2E_VERSION "\n"}, 0},
        // A number beyond the codes is none of them, not the code that
        // strtoul wraps it onto: 2^32 + 1005, and -(2^32 - 1005) (which
        // wraps onto 1005 also where a long has 32 bits, under wine).
        EdgeCase{"explain_wrapped_number",
                 {"explain", "4294968301"},
                 1,
                 {"veldran-host: 4294968301 is no error code of the module"},
                 0},
        EdgeCase{"explain_negative_number",
                 {"explain", "-4294966291"},
                 1,
                 {"veldran-host: -4294966291 is no error code of the module"},
                 0},
        EdgeCase{"gate_closed",
                 {"run", "LADDER", "--mode", "1", "--scans", "2"},
                 0,
                 {"I/O gate closed: instructions will not touch the line", "summary: 2 scans"},
                 0},
        EdgeCase{"topdoc_opens_the_gate",
                 {"run", "LADDER", "-o", ROOMY, "--mode", "1", "--topdoc", "--scans", "1", "-q"},
                 0,
                 {"error codes: 0 OK x 1\n"},
                 0},
        // Ten scans would take 1 s; the duration says 2.5 s.
        EdgeCase{"duration_alone", {"run", "LADDER", "--duration", "2.5", "--period-ms", "100", "-q"}, 0, {}, 15},
        // More milliseconds than a long holds (a month under wine): a
        // duration still, not none and the default ten scans.
        EdgeCase{"duration_beyond_a_long",
                 {"run", "LADDER", "--duration", "1e17", "--period-ms", "20"},
                 0,
                 {},
                 12,
                 "scan 12 "},
        EdgeCase{"log_not_writable",
                 {"run", "LADDER", "--log", "/nonexistent/run.csv"},
                 1,
                 {"veldran-host: cannot write /nonexistent/run.csv"},
                 0},
        // A file that takes no bytes (a full disk): refused as one that
        // cannot be created, not a run that logs nothing.
        EdgeCase{"log_on_a_full_disk",
                 {"run", "LADDER", "--log", "/dev/full"},
                 1,
                 {"veldran-host: cannot write /dev/full"},
                 0,
                 "",
                 true},
        EdgeCase{"trace_not_writable",
                 {"run", "LADDER", "--trace", "/nonexistent/traces.txt"},
                 1,
                 {"veldran-host: cannot write /nonexistent/traces.txt"},
                 0},
        // A closed gate runs no instruction: nothing to count, nothing checked.
        EdgeCase{"gate_closed_fail_on_error",
                 {"run", "LADDER", "--mode", "0", "--scans", "2", "-q", "--fail-on-error"},
                 4,
                 {"error codes: none: no instruction ran (the I/O gate was closed)\n",
                  "--fail-on-error: no instruction ran (the I/O gate was closed), so nothing was checked"},
                 0},
        EdgeCase{
            "scans_negative", {"run", "LADDER", "--scans", "-1"}, 1, {"--scans: 0 (run until stopped) or more"}, 0},
        // Said in words, not as the largest double.
        EdgeCase{"period_negative",
                 {"run", "LADDER", "--period-ms", "-5"},
                 1,
                 {"--period-ms: 0 ms or more\nRun with --help"},
                 0},
        // Too large for a count: refused, not taken for "until stopped".
        EdgeCase{"scans_too_large",
                 {"run", "LADDER", "--scans", "99999999999999999999"},
                 1,
                 {"--scans: 0 (run until stopped) or more"},
                 0},
        // Ctrl-C in the middle: what answered so far, and status 130.
        EdgeCase{"survey_interrupted",
                 {"survey", "--checksum", "off", "--baud", "192,96", "--to", "20", "--timeout", "60"},
                 130,
                 {"survey: interrupted; what answered until then:\n", "\n01 (  1)   19200  off "},
                 0,
                 "9600 baud, checksum off"},
        // No VELDRAN_COM2: said before Init (which refuses BAUD=1, so nothing
        // opens the default device).
        EdgeCase{"default_device_named",
                 {"run", "LADDER", "-o", "COMPORT=2 BAUD=1"},
                 3,
                 {"veldran-host: COM2 is /dev/ttyS1, the default, because VELDRAN_COM2 is not set; set VELDRAN_COM2 to "
                  "the line's device"},
                 0,
                 "",
                 true},
        // A port above COM4 reached as COM1 through the serial library's
        // variable.
        EdgeCase{"com_above_4",
                 {"run", "LADDER", "-o", ROOMY, "--scans", "1", "-q"},
                 0,
                 {"/ports/com7 (environment VELDRAN_COM1, wine port mapping HKLM\\Software\\Wine\\Ports\\COM7)",
                  "error codes: 0 OK x 1\n"},
                 0,
                 "",
                 false,
                 7},
        // Read otherwise than it looks: run says so, as check does.
        EdgeCase{"options_read_otherwise",
                 {"run", "LADDER", "-o", "TIMEOUT=200,BAUD=96 CHECKSUM=OFF", "--scans", "1", "-q"},
                 0,
                 {"veldran-host: warning: options: 'CHECKSUM=OFF' switches checksums ON",
                  "veldran-host: warning: options: 'TIMEOUT=200,BAUD=96': a ',' does not separate options"},
                 0},
        // Two rungs read 0Bh, where no module answers (R1 reads 01h, which
        // does): each of the module's failure traces is named after the rung
        // and instruction that printed it, with the address in hex; the
        // module's text after that as it printed it.
        EdgeCase{"traces_name_their_rungs",
                 {"run", "LADDER", "-o", ROOMY + " DEBUG", "--scans", "2", "-q", "--trace", "TRACE"},
                 0,
                 {"error codes: 0 OK x 2; 1005 TIMEOUT x 4\n"},
                 0,
                 "",
                 false,
                 0,
                 "",
                 rung("I7041", "[11, 0, \"N7:1\", \"N7:2\"]") + rung("I7017", "[1, 0, \"F8:0\", \"N7:0\"]") +
                     rung("I7RDMS", "[11, \"N7:3\", \"N7:4\"]"),
                 {"scan 1 R0 I7041@0Bh: addr=11  ec=1005", "scan 1 R2 I7RDMS@0Bh: addr=11  ec=1005",
                  "scan 2 R0 I7041@0Bh: addr=11  ec=1005", "scan 2 R2 I7RDMS@0Bh: addr=11  ec=1005"}},
        EdgeCase{"fail_on_error_without_codes",
                 {"run", "LADDER", "-o", ROOMY, "--scans", "2", "-q", "--fail-on-error"},
                 0,
                 {"error codes: 0 OK x 2\n"},
                 0},
        // A module at 19200 and send at its default 9600: not silence.
        EdgeCase{"send_at_another_speed",
                 {"send", "$0A2", "$0AM"},
                 1,
                 {"send: nothing answered at 9600 baud; at 19200 baud the first command was answered: try --baud "
                  "19200\n"},
                 0,
                 "",
                 false,
                 0,
                 "[[module]]\naddress = 10\nmodel = 7017\nbaud = 19200\n"},
        // Bytes that never make a reply are not "no answer".
        EdgeCase{"identify_two_modules_at_one_address",
                 {"identify", "1", "3", "--baud", "9600", "--checksum", "off"},
                 1,
                 {"\n01h   something answers at 01h, but garbled: more than one module at 01h?\n",
                  "\n03h   7053    1.00      40   9600 "},
                 0,
                 "",
                 false,
                 0,
                 kTwoAtOne},
        // The survey hears them as a time-out during which bytes came (it
        // counts what reached the port only natively: not under wine).
        EdgeCase{"survey_two_modules_at_one_address",
                 {"survey", "--from", "0", "--to", "3", "--baud", "96", "--checksum", "off", "--timeout", "60"},
                 0,
                 {"\n03 (  3)    9600  off ", "\n1 address answered\n",
                  "\naddress 01 (1): something answers at 01h, but garbled: more than one module at 01h? Garbled "
                  "replies 3 times in a row at 9600 baud, checksum off (1005 TIMEOUT, bytes but no whole reply). "},
                 0,
                 "",
                 true,
                 0,
                 kTwoAtOne},
        // The capture is refused before the line is touched.
        EdgeCase{"send_capture_that_cannot_be_created",
                 {"send", "$01M", "--baud", "19200", "--capture", "/nonexistent/send.cap"},
                 1,
                 {"veldran-host: cannot create /nonexistent/send.cap: No such file or directory\n"},
                 0,
                 "",
                 true},
        EdgeCase{"monitor_capture_of_a_replay",
                 {"monitor", "--replay", "run.cap", "--capture", "again.cap"},
                 1,
                 {"veldran-host: monitor: --capture records a port listened to; a replay is a capture already\n"},
                 0},
        // A design commission cannot bring a line to: refused before the
        // line is touched.
        EdgeCase{"commission_refuses_a_design_with_two_modules_at_one_address",
                 {"commission", "PLANT", "--check"},
                 1,
                 {"the design has more than one module at 01h: each module needs an address of its own"},
                 0,
                 "",
                 false,
                 0,
                 kTwoAtOne},
        EdgeCase{"commission_refuses_a_design_with_a_module_at_00h",
                 {"commission", "PLANT"},
                 1,
                 {"the design has a module at 00h, where a module in INIT mode answers"},
                 0,
                 "",
                 false,
                 0,
                 "[[module]]\naddress = 0\nmodel = 7053\n"},
        // The loop check and the report refuse what is no design or no
        // record, and a check on the screen ends on Ctrl-C with its results.
        EdgeCase{"loopcheck_a_plant_without_points",
                 {"loopcheck", "PLANT"},
                 1,
                 {"plant.toml has no points ([[point]] tables) to check"},
                 0,
                 "",
                 false,
                 0,
                 kTwoAtOne},
        EdgeCase{"loopcheck_an_unknown_tag",
                 {"loopcheck", "PLANT", "--tag", "XX-999"},
                 1,
                 {"--tag XX-999: "},
                 0,
                 "",
                 false,
                 0,
                 kOnePoint},
        EdgeCase{"loopcheck_screen_ended_by_ctrl_c",
                 {"loopcheck", "PLANT", "--engineer", "E2E"},
                 130,
                 {"value:  1", "loopcheck: interrupted", "0 passed, 0 failed, 0 skipped, 1 open; results in "},
                 0,
                 "p passed  f failed",
                 true,
                 0,
                 kOnePoint},
        EdgeCase{"report_of_no_record",
                 {"report", "PLANT", "--as-built", "PLANT", "--loopcheck", "PLANT", "-o", "TRACE"},
                 1,
                 {"plant.toml: line 2: expected a value"},
                 0,
                 "",
                 false,
                 0,
                 kOnePoint}),
    [](const ::testing::TestParamInfo<EdgeCase> &i) { return std::string(i.param.name); });

TEST(Host, SimulatorSaysItsVersion)
{
    HostResult h = e2e::runProgram({config().sim, "--version"}, {}, 10000);
    EXPECT_EQ(h.status, 0) << h.output;
    EXPECT_EQ(h.output, "veldran-sim " VELDRAN_E2E_VERSION "\n");
}
