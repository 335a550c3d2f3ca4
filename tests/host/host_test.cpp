// The reference host's own logic without a module: ladder files that must
// be refused (with where), and how rungs bind their operands and run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "catalogue.h"
#include "check.h"
#include "errors.h"
#include "hostsvc.h"
#include "json.h"
#include "ladder.h"
#include "loopcheck.h"
#include "plot_layout.h"
#include "scan.h"
#include "settings.h"
#include "sha256.h"
#include "summary.h"
#include "survey.h"
#include "watch.h"
#include "wire.h"

namespace {

struct Call {
    int32_t rung;
    std::vector<TLIPARAM> params;
};
std::vector<Call> calls;
bool fail = false;        // every call fails, whatever its address
unsigned failCode = 1005; // with the code
SSHORT failChannels = 0;  // and, from FAKETC, the channels flagged in "ErrChan:"
bool debugTraces = false; // a failure prints the module's DEBUG trace

// A stand-in instruction: records its call and writes recognisable outputs.
BOOL TLMCALL fakeIo(int32_t rungState, int32_t argc, TLIPARAM *p)
{
    calls.push_back({rungState, std::vector<TLIPARAM>(p, p + argc)});
    if (!rungState)
        return FALSE;
    *p[2].ptr.wptr = static_cast<SSHORT>(p[0].val.wd + 1);
    if (p[3].isfloat)
        *p[3].ptr.fptr = p[1].val.fl * 2;
    else
        *p[3].ptr.wptr = 7;
    for (int i = 0; i < 8; ++i) {
        if (p[4].isfloat)
            p[4].ptr.fptr[i] = static_cast<float>(i) + 0.5f;
        else
            p[4].ptr.wptr[i] = static_cast<SSHORT>(-i);
    }
    const bool failed = p[0].val.wd == 99 || fail;
    const unsigned code = p[0].val.wd == 99 ? 1005 : fail ? failCode : 0;
    *p[5].ptr.wptr = static_cast<SSHORT>(code);
    if (failed && debugTraces)
        hostsvc::svcPrintText("\n addr=" + std::to_string(p[0].val.wd) + "  ec=" + std::to_string(code));
    return FALSE;
}

// A stand-in thermocouple read: "Format:" and "ErrChan:" beside the code.
BOOL TLMCALL fakeTc(int32_t rungState, int32_t argc, TLIPARAM *p)
{
    calls.push_back({rungState, std::vector<TLIPARAM>(p, p + argc)});
    if (!rungState)
        return FALSE;
    *p[3].ptr.wptr = static_cast<SSHORT>(fail ? failCode : 0);
    *p[4].ptr.wptr = fail ? failChannels : 0;
    return FALSE;
}

PARMDEF parm(const char *label, WORD kind, WORD len)
{
    PARMDEF p;
    memset(&p, 0, sizeof p);
    size_t n = strlen(label);
    memcpy(p.prm_name, label, n < sizeof p.prm_name - 1 ? n : sizeof p.prm_name - 1);
    p.prm_argtype = kind;
    p.prm_len = len;
    return p;
}

struct FakeTable {
    FUNCDEF f[3];
    FakeTable()
    {
        memset(f, 0, sizeof f);
        strcpy(f[0].fnc_name, "FAKE");
        strcpy(f[0].fnc_desc, "Fake I/O");
        f[0].fnc_ptr = &fakeIo;
        f[0].fnc_numargs = 6;
        f[0].p[0] = parm("Addr:", ARG_WORD_IN, 1);
        f[0].p[1] = parm("AOUT:", ARG_FLOAT_IN, 1);
        f[0].p[2] = parm("DIN:", ARG_WORD_OUT, 1);
        f[0].p[3] = parm("Count:", ARG_NUM_OUT, 1);
        f[0].p[4] = parm("AIN:", ARG_ARRAY_OUT, 8);
        f[0].p[5] = parm("ErrCode:", ARG_WORD_OUT, 1);
        strcpy(f[1].fnc_name, "FAKETC");
        strcpy(f[1].fnc_desc, "Fake TC read");
        f[1].fnc_ptr = &fakeTc;
        f[1].fnc_numargs = 5;
        f[1].p[0] = parm("Addr:", ARG_WORD_IN, 1);
        f[1].p[1] = parm("Format:", ARG_WORD_IN, 1);
        f[1].p[2] = parm("AIN:", ARG_ARRAY_OUT, 8);
        f[1].p[3] = parm("ErrCode:", ARG_WORD_OUT, 1);
        f[1].p[4] = parm("ErrChan:", ARG_WORD_OUT, 1);
    }
};
const FakeTable TABLE;

const char *kHead = "[data]\n"
                    "N7 = { type = \"word\", size = 20 }\n"
                    "F8 = { type = \"float\", size = 10 }\n"
                    "[[rung]]\n"
                    "instr = \"FAKE\"\n"; // the rung's args are on line 6

vhost::Program parse(const std::string &rest) { return vhost::parseLadderText(kHead + rest, "t.toml", TABLE.f); }

struct BadCase {
    const char *name;
    std::string text; // appended to kHead, unless it starts with '!'
    int line;
    int column; // 0: not checked
    const char *message;
};

void PrintTo(const BadCase &c, std::ostream *os) { *os << c.name; }

class LadderRefused : public ::testing::TestWithParam<BadCase> {};

TEST_P(LadderRefused, ReportsWhere)
{
    const BadCase &c = GetParam();
    try {
        if (c.text[0] == '!')
            vhost::parseLadderText(c.text.substr(1), "t.toml", TABLE.f);
        else
            parse(c.text);
        FAIL() << "accepted";
    } catch (const vhost::LadderError &e) {
        EXPECT_EQ(e.pos.line, c.line) << e.what();
        if (c.column) {
            EXPECT_EQ(e.pos.column, c.column) << e.what();
        }
        EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        EXPECT_EQ(std::string(e.what()).rfind("t.toml:" + std::to_string(c.line) + ":", 0), 0u) << e.what();
    }
}

const std::string GOOD = "[1, 2.5, \"N7:0\", \"F8:0\", \"F8:1\", \"N7:1\"]";

INSTANTIATE_TEST_SUITE_P(
    Cases, LadderRefused,
    ::testing::Values(
        BadCase{"syntax", "args = [1, 2\n", 6, 0, ""},
        BadCase{"unknown_instruction", "!\n[[rung]]\ninstr = \"I9999\"\nargs = []\n", 3, 9,
                "unknown instruction 'I9999'"},
        BadCase{"operand_count", "args = [1, 2.5]\n", 6, 8, "takes 6 operands"},
        BadCase{"unknown_file", "args = [\"X9:0\", 2.5, \"N7:0\", \"F8:0\", \"F8:1\", \"N7:1\"]\n", 6, 9,
                "unknown data-table name 'X9'"},
        BadCase{"output_constant", "args = [1, 2.5, 3, \"F8:0\", \"F8:1\", \"N7:1\"]\n", 6, 17,
                "needs a data-table address"},
        BadCase{"word_output_in_float_file", "args = [1, 2.5, \"F8:0\", \"F8:0\", \"F8:1\", \"N7:1\"]\n", 6, 17,
                "needs a word element"},
        BadCase{"array_past_end", "args = [1, 2.5, \"N7:0\", \"F8:0\", \"F8:3\", \"N7:1\"]\n", 6, 33,
                "needs 8 elements"},
        BadCase{"element_past_end", "args = [\"N7:20\", 2.5, \"N7:0\", \"F8:0\", \"F8:1\", \"N7:1\"]\n", 6, 9,
                "beyond the end"},
        BadCase{"float_for_word_input", "args = [1.5, 2.5, \"N7:0\", \"F8:0\", \"F8:1\", \"N7:1\"]\n", 6, 9,
                "needs an integer"},
        BadCase{"word_constant_range", "args = [70000, 2.5, \"N7:0\", \"F8:0\", \"F8:1\", \"N7:1\"]\n", 6, 9,
                "16-bit range"},
        BadCase{"bit_as_operand", "args = [\"N7:1/3\", 2.5, \"N7:0\", \"F8:0\", \"F8:1\", \"N7:1\"]\n", 6, 9,
                "only as a rung condition"},
        BadCase{"write_system_file", "args = [1, 2.5, \"S:0\", \"F8:0\", \"F8:1\", \"N7:1\"]\n", 6, 17, "file S"},
        BadCase{"unknown_rung_key", "args = " + GOOD + "\nwhen = true\nrepeat = 3\n", 8, 1, "unknown key 'repeat'"},
        BadCase{"bad_condition", "args = " + GOOD + "\nwhen = { toggle = 0 }\n", 7, 8, "toggle"},
        BadCase{"bad_bit", "args = " + GOOD + "\nwhen = \"N7:1/16\"\n", 7, 8, "bit number"},
        BadCase{"bad_file_type", "!\n[data]\nN7 = { type = \"int\", size = 4 }\n", 3, 15, "unknown data file type"},
        BadCase{"no_rungs", "![data]\nN7 = { type = \"word\", size = 4 }\n", 1, 1, "no [[rung]]"}),
    [](const ::testing::TestParamInfo<BadCase> &i) { return std::string(i.param.name); });

class Scanning : public ::testing::Test {
protected:
    void SetUp() override
    {
        calls.clear();
        hostsvc::captureConsole(true);
    }
    void TearDown() override
    {
        hostsvc::takeConsole();
        hostsvc::captureConsole(false);
    }
};

TEST_F(Scanning, BindsOperandsByKindAndFileType)
{
    vhost::Program prog = parse("args = [\"N7:5\", \"N7:6\", \"N7:0\", \"F8:0\", \"F8:2\", \"N7:1\"]\n");
    prog.file("N7").words[5] = -3;
    prog.file("N7").words[6] = 40;
    FILE *null = fopen("/dev/null", "w");
    vhost::Console console(null);
    vhost::Runner runner(prog, TABLE.f, console);
    runner.scan(1, true);
    fclose(null);

    ASSERT_EQ(calls.size(), 1u);
    const std::vector<TLIPARAM> &p = calls[0].params;
    EXPECT_EQ(calls[0].rung, 1);
    EXPECT_EQ(p[0].val.wd, -3);
    EXPECT_FLOAT_EQ(p[1].val.fl, 40.0f); // a word element given to a float input
    EXPECT_EQ(p[2].ptr.wptr, &prog.file("N7").words[0]);
    EXPECT_EQ(p[2].isfloat, 0u);
    EXPECT_EQ(p[3].ptr.fptr, &prog.file("F8").floats[0]);
    EXPECT_NE(p[3].isfloat, 0u);
    EXPECT_EQ(p[4].ptr.fptr, &prog.file("F8").floats[2]);
    EXPECT_NE(p[4].isfloat, 0u);

    EXPECT_EQ(prog.file("N7").words[0], -2);
    EXPECT_FLOAT_EQ(prog.file("F8").floats[0], 80.0f);
    EXPECT_FLOAT_EQ(prog.file("F8").floats[9], 7.5f);
    std::string line = runner.rungText(0, true, 1.0);
    EXPECT_NE(line.find("FAKE@-3"), std::string::npos) << line;
    EXPECT_NE(line.find("DIN=0xFFFE"), std::string::npos) << line;
    EXPECT_NE(line.find("AIN=[0.5,1.5,2.5,3.5,4.5,5.5,6.5,7.5]"), std::string::npos) << line;
    EXPECT_NE(line.find("ErrCode=0 OK"), std::string::npos) << line;
}

TEST_F(Scanning, WordOutputsAndConstants)
{
    vhost::Program prog = parse("args = [65535, -11, \"N7:0\", \"N7:1\", \"N7:10\", \"N7:2\"]\n");
    vhost::Console console(stdout);
    vhost::Runner runner(prog, TABLE.f, console);
    runner.scan(1, false);
    const std::vector<TLIPARAM> &p = calls.at(0).params;
    EXPECT_EQ(p[0].val.wd, -1); // 65535 is the word 0xFFFF
    EXPECT_FLOAT_EQ(p[1].val.fl, -11.0f);
    EXPECT_EQ(p[3].isfloat, 0u);
    EXPECT_EQ(prog.file("N7").words[1], 7);
    EXPECT_EQ(prog.file("N7").words[17], -7);
}

// Rung conditions and ramps over a few scans: which scans call with a true
// rung, and what the ramp passes.
TEST_F(Scanning, ConditionsAndRampsOverScans)
{
    struct Case {
        const char *when;
        std::vector<int> rung; // rungState per scan 1..6
    } cases[] = {
        {"true", {1, 1, 1, 1, 1, 1}},           {"0", {0, 0, 0, 0, 0, 0}},
        {"{ toggle = 2 }", {1, 1, 0, 0, 1, 1}}, {"{ first = 1 }", {1, 0, 0, 0, 0, 0}},
        {"\"S:0/0\"", {1, 0, 1, 0, 1, 0}}, // odd scan numbers
        {"\"N7:3\"", {0, 0, 0, 0, 0, 0}},
    };
    for (const Case &c : cases) {
        calls.clear();
        vhost::Program prog =
            parse(std::string("args = [{ ramp = [0, 30], scans = 4 }, { ramp = [-1.0, 2.0], scans = 4 }, \"N7:0\", "
                              "\"F8:0\", \"F8:2\", \"N7:1\"]\nwhen = ") +
                  c.when + "\n");
        vhost::Console console(stdout);
        vhost::Runner runner(prog, TABLE.f, console);
        std::vector<int> got;
        for (long n = 1; n <= 6; ++n)
            runner.scan(n, false);
        for (const Call &k : calls)
            got.push_back(k.rung ? 1 : 0);
        EXPECT_EQ(got, c.rung) << c.when;
        ASSERT_EQ(calls.size(), 6u);
        const int words[] = {0, 10, 20, 30, 0, 10};
        const float floats[] = {-1, 0, 1, 2, -1, 0};
        for (size_t i = 0; i < 6; ++i) {
            EXPECT_EQ(calls[i].params[0].val.wd, words[i]) << "scan " << i + 1;
            EXPECT_FLOAT_EQ(calls[i].params[1].val.fl, floats[i]) << "scan " << i + 1;
        }
    }
}

TEST_F(Scanning, SummaryCountsCodesOfTrueRungsOnly)
{
    vhost::Program prog = vhost::parseLadderText(
        std::string(kHead) + "args = [99, 0, \"N7:0\", \"F8:0\", \"F8:2\", \"N7:1\"]\n"
                             "[[rung]]\ninstr = \"FAKE\"\nargs = [1, 0, \"N7:2\", \"F8:0\", \"F8:2\", \"N7:3\"]\n"
                             "[[rung]]\ninstr = \"FAKE\"\nargs = [99, 0, \"N7:4\", \"F8:0\", \"F8:2\", \"N7:5\"]\n"
                             "when = false\n",
        "t.toml", TABLE.f);
    vhost::Console console(stdout);
    vhost::Runner runner(prog, TABLE.f, console);
    vhost::RunOptions opt;
    opt.scans = 3;
    opt.quiet = true;
    runner.run(opt, nullptr);
    EXPECT_EQ(runner.stats().scans, 3);
    EXPECT_EQ(runner.stats().codes.at(0), 3);
    EXPECT_EQ(runner.stats().codes.at(1005), 3);
    EXPECT_EQ(runner.stats().codes.size(), 2u);
    std::string s = runner.summary();
    EXPECT_NE(s.find("summary: 3 scans, scan time min"), std::string::npos) << s;
    EXPECT_NE(s.find("error codes: 0 OK x 3; 1005 TIMEOUT x 3"), std::string::npos) << s;
    EXPECT_NE(s.find("R0 FAKE: 1005 TIMEOUT x 3"), std::string::npos) << s;
    EXPECT_EQ(s.find("R2 FAKE"), std::string::npos) << s;
    // Per module address, true rungs only (R2's false rung at 99 adds nothing).
    EXPECT_NE(s.find("\nmodules:\n  01h: 3 exchanges; 0 OK x 3; response min "), std::string::npos) << s;
    EXPECT_NE(s.find("\n  63h: 3 exchanges; 1005 TIMEOUT x 3; response min "), std::string::npos) << s;
    EXPECT_NE(s.find("; longest failure run 3"), std::string::npos) << s;
    EXPECT_TRUE(runner.stats().anyFailure());
    EXPECT_EQ(runner.stats().lineWideScans, 0);
    // Two modules timing out in one scan point at the line rather than at
    // either module.
    fail = true;
    runner.scan(4, false);
    fail = false;
    EXPECT_EQ(runner.stats().lineWideScans, 1);
    s = runner.summary();
    EXPECT_NE(s.find("\nin 1 of the 4 scans several modules timed out (the last time 63h, 01h): that looks line-wide"),
              std::string::npos)
        << s;
    // 63h never answered while 01h did: a module that is not there.
    EXPECT_NE(s.find("\n63h never answered while other modules did: not on the line"), std::string::npos) << s;
    EXPECT_EQ(runner.stats().portGoneScan, 0);
}

// The longest run of consecutive failures of a module: the exchanges with
// other modules in between do not end it, a success of its own does, and so
// does an open input (an answered exchange, counted apart); a call the module
// refused before sending (1016, 1015 with a "Format:" out of range) is no
// exchange at all, adds no response time and neither ends nor extends it,
// while 1015 with a "Format:" in range came from a reply and does.
TEST_F(Scanning, LongestFailureRunPerModule)
{
    vhost::Program prog =
        parse("args = [\"N7:10\", 0, \"N7:0\", \"F8:0\", \"F8:2\", \"N7:1\"]\nwhen = \"N7:11\"\n"
              "[[rung]]\ninstr = \"FAKETC\"\nargs = [\"N7:10\", \"N7:13\", \"F8:2\", \"N7:2\", \"N7:3\"]\n"
              "when = \"N7:12\"\n");
    vhost::Console console(stdout);
    vhost::Runner runner(prog, TABLE.f, console);
    // Scan 7 (1016) is refused before sending, within a run of failures;
    // scan 10 an open input, scan 12 "Format:" 3 refused, scan 15 a hex reply
    // too long (a failure on the wire), scan 16 an open input, scan 17 a
    // refusal, scan 18 a 1018 without channels flagged (a reply of the wrong
    // length: a failure).
    const struct {
        int addr;
        unsigned code;  // 0: the call succeeds
        SSHORT format;  // -1: FAKE, else FAKETC (with "Format:" and "ErrChan:") with this "Format:"
        SSHORT flagged; // the channels FAKETC flags
    } scans[] = {{5, 1005, -1, 0},   {5, 1005, -1, 0}, {1, 0, -1, 0},    {5, 0, -1, 0},    {5, 1005, -1, 0},
                 {1, 0, -1, 0},      {5, 1016, -1, 0}, {5, 1005, -1, 0}, {5, 1005, -1, 0}, {5, 1018, 2, 0x04},
                 {5, 1005, -1, 0},   {5, 1015, 3, 0},  {5, 1005, -1, 0}, {5, 1005, -1, 0}, {5, 1015, 2, 0},
                 {5, 1018, 0, 0x24}, {5, 1007, -1, 0}, {5, 1018, 0, 0},  {5, 1005, -1, 0}};
    long n = 0;
    for (const auto &c : scans) {
        prog.file("N7").words[10] = static_cast<SSHORT>(c.addr);
        prog.file("N7").words[11] = c.format < 0;
        prog.file("N7").words[12] = c.format >= 0;
        prog.file("N7").words[13] = c.format;
        fail = c.code != 0;
        failCode = c.code;
        failChannels = c.flagged;
        runner.scan(++n, false);
    }
    fail = false;
    failCode = 1005;
    failChannels = 0;
    const vhost::ModuleStats &m = runner.stats().modules.at(5);
    EXPECT_EQ(m.exchanges, 14);
    EXPECT_EQ(m.ms.count(), 14u) << "a refused call adds no response time";
    EXPECT_EQ(m.longestFailing, 4);
    EXPECT_EQ(m.codes.at(0), 1);
    EXPECT_EQ(m.codes.at(1005), 9);
    EXPECT_EQ(m.codes.at(1015), 1);
    EXPECT_EQ(m.codes.at(1018), 1) << "1018 without channels flagged is the reply's length";
    EXPECT_EQ(m.codes.count(1016), 0u);
    EXPECT_EQ(m.apart.inputFaults, 2);
    EXPECT_EQ(m.apart.channels, 0x24u);
    EXPECT_EQ(m.apart.ladderErrors, (std::map<unsigned, long>{{1007, 1}, {1015, 1}, {1016, 1}}));
    EXPECT_EQ(runner.stats().modules.at(1).longestFailing, 0);
    std::string s = runner.summary();
    EXPECT_NE(s.find("\n  05h: 14 exchanges; 0 OK x 1, 1005 TIMEOUT x 9, 1015 BAD_FORMAT x 1, 1018 AIN_LENGTH x 1; "
                     "input faults: 2 (open input, channels 2, 5); response min "),
              std::string::npos)
        << s;
    EXPECT_NE(s.find("; longest failure run 4; ladder errors: 3 (1007 BAD_ADDRESS x 1, 1015 BAD_FORMAT x 1, "
                     "1016 BAD_CHANNEL x 1)"),
              std::string::npos)
        << s;
    EXPECT_NE(s.find("\nladder errors: 3 (1007 BAD_ADDRESS x 1, 1015 BAD_FORMAT x 1, 1016 BAD_CHANNEL x 1) in R0 "
                     "FAKE, R1 FAKETC: refused before anything was sent, not counted as exchanges"),
              std::string::npos)
        << s;
    EXPECT_NE(s.find("\ninput faults: 2 (open input, channels 2, 5) in R1 FAKETC: answered exchanges, not counted "
                     "as line failures"),
              std::string::npos)
        << s;
    // The "ErrCode:" values of true rungs are all counted, as the ladder saw them.
    EXPECT_EQ(runner.stats().codes.at(1016), 1);
    EXPECT_EQ(runner.stats().codes.at(1018), 3);
}

TEST(Addresses, TwoHexDigitsAsOnTheWire)
{
    const std::pair<int, const char *> cases[] = {{0, "00h"},   {1, "01h"}, {17, "11h"},
                                                  {255, "FFh"}, {-3, "-3"}, {256, "256"}};
    for (const auto &c : cases)
        EXPECT_EQ(vhost::addressText(c.first), c.second);
}

// The log's columns and a row's values line up, named after the rung and
// the operand's label, one column per array element.
TEST_F(Scanning, LogColumnsMatchValues)
{
    vhost::Program prog = parse("args = [17, 2.5, \"N7:0\", \"F8:0\", \"F8:2\", \"N7:1\"]\n"
                                "[[rung]]\ninstr = \"FAKE\"\nargs = [99, 0, \"N7:2\", \"N7:3\", \"N7:4\", \"N7:12\"]\n"
                                "when = false\n");
    vhost::Console console(stdout);
    vhost::Runner runner(prog, TABLE.f, console);
    runner.scan(1, false);
    std::vector<std::string> cols = vhost::logColumns(runner), vals = vhost::logValues(runner);
    ASSERT_EQ(cols.size(), vals.size());
    ASSERT_EQ(cols.size(), 2u * (2 + 4 + 8));
    std::map<std::string, std::string> row;
    for (size_t i = 0; i < cols.size(); ++i)
        row[cols[i]] = vals[i];
    EXPECT_EQ(row.at("R0.FAKE@11h.on"), "1");
    EXPECT_EQ(row.at("R0.FAKE@11h.AOUT"), "2.5");
    EXPECT_EQ(row.at("R0.FAKE@11h.DIN"), "18");
    EXPECT_EQ(row.at("R0.FAKE@11h.Count"), "5");
    EXPECT_EQ(row.at("R0.FAKE@11h.AIN[7]"), "7.5");
    EXPECT_EQ(row.at("R0.FAKE@11h.ErrCode"), "0");
    EXPECT_EQ(row.at("R1.FAKE@63h.on"), "0");
    EXPECT_EQ(row.at("R1.FAKE@63h.AIN[0]"), "0");
    EXPECT_EQ(cols[0], "R0.FAKE@11h.on");
}

// The live view's screen: no line wider than the terminal, changed values
// marked from the second redraw on, a non-zero code with its name.
TEST_F(Scanning, LiveScreenFitsAndMarksChanges)
{
    vhost::Program prog = parse("args = [{ ramp = [98, 99], scans = 2 }, { ramp = [-1000.125, 2000.5], scans = 2 }, "
                                "\"N7:0\", \"F8:0\", \"F8:2\", \"N7:1\"]\n");
    vhost::Console console(stdout);
    vhost::Runner runner(prog, TABLE.f, console);
    vhost::LiveView view(stdout, 60, 0);
    auto visible = [](std::string s) {
        for (size_t e; (e = s.find('\x1b')) != std::string::npos;)
            s.erase(e, s.find('m', e) - e + 1);
        return s;
    };
    std::string all[2];
    for (long n = 1; n <= 2; ++n) {
        double ms = runner.scan(n, false);
        for (const std::string &l : view.frame(runner, n, ms)) {
            EXPECT_LE(visible(l).size(), 60u) << l;
            all[n - 1] += l + "\n";
        }
    }
    EXPECT_EQ(all[0].find("\x1b[7m"), std::string::npos) << all[0];
    EXPECT_NE(all[1].find("\x1b[7mAOUT=2000.5\x1b[27m"), std::string::npos) << all[1];
    EXPECT_NE(all[1].find("\x1b[7mErrCode=1005 TIMEOUT\x1b[27m"), std::string::npos) << all[1];
    EXPECT_NE(all[1].find("\x1b[7mDIN=0x0064\x1b[27m"), std::string::npos) << all[1];
    EXPECT_NE(all[1].find(" AIN=[0.5,1.5,"), std::string::npos) << all[1]; // unchanged, unmarked
    EXPECT_NE(visible(all[1]).find("R0  FAKE@63h"), std::string::npos) << all[1];
    EXPECT_NE(visible(all[1]).find("63h  1 exch  1005 TIMEOUT x1  "), std::string::npos) << all[1];

    // The module's failure traces stay on the screen with their scan; the
    // echoes of good reads do not push them off.
    vhost::FailureTraces traces;
    view.failures(&traces);
    traces.call("\nrec: >00FF", 2, "R0 FAKE@63h");
    traces.call("\nrec: >0F\n addr=99  ec=1008", 2, "R0 FAKE@63h");
    for (int i = 0; i < 10; ++i)
        traces.call("\nrec: >00FF", 3, "R0 FAKE@63h");
    std::string screen;
    for (const std::string &l : view.frame(runner, 3, 1.0))
        screen += visible(l) + "\n";
    size_t at = screen.find("\nfailures the module traced, the last 2:\n  scan 2 ");
    ASSERT_NE(at, std::string::npos) << screen;
    EXPECT_NE(screen.find("  R0 FAKE@63h: rec: >0F\n  scan 2 ", at), std::string::npos) << screen;
    EXPECT_NE(screen.find("  R0 FAKE@63h: addr=99  ec=1008\n", at), std::string::npos) << screen;
    EXPECT_EQ(screen.find("00FF", at), std::string::npos) << screen;
}

// The live view at a terminal's size: the modules first, then the rungs as
// the rows allow with a line for those left out, the failures the module
// traced named after the rung that printed them, no line wider than the
// terminal and no word of a hint cut; then the next frame at a new size.
struct ScreenCase {
    const char *name;
    int columns, rows;
    int rungs;                       // rungs of FAKE, at the addresses 1 to `modules` in turn
    int modules;                     // (modules > 1 and `fail`: a line-wide hint)
    bool fail;                       // every call fails and prints its DEBUG trace
    size_t lines;                    // the screen's lines exactly (0: at most `rows`)
    std::vector<std::string> expect; // on the screen, in this order
    int newColumns = 0, newRows = 0; // the next frame at this size (0: none)
    size_t newLines = 0;
    std::vector<std::string> newExpect = {};
};

void PrintTo(const ScreenCase &c, std::ostream *os) { *os << c.name; }

class LiveScreens : public ::testing::TestWithParam<ScreenCase> {
protected:
    void SetUp() override { hostsvc::captureConsole(true); }
    void TearDown() override
    {
        fail = debugTraces = false;
        hostsvc::takeConsole();
        hostsvc::captureConsole(false);
    }
};

std::string visibleText(std::string s)
{
    for (size_t e; (e = s.find('\x1b')) != std::string::npos;)
        s.erase(e, s.find('m', e) - e + 1);
    return s;
}

// One frame drawn at `columns` x `rows`: the lines it fits, and what the
// terminal got.
void checkScreen(vhost::LiveView &view, const vhost::Runner &runner, long number, const std::string &raw, int columns,
                 int rows, size_t lines, const std::vector<std::string> &expect)
{
    std::vector<std::string> frame = view.frame(runner, number, 1.0);
    std::string screen;
    for (const std::string &l : frame) {
        EXPECT_LE(visibleText(l).size(), static_cast<size_t>(columns)) << l;
        screen += visibleText(l) + "\n";
    }
    if (lines) {
        EXPECT_EQ(frame.size(), lines) << screen;
    }
    EXPECT_LE(frame.size(), static_cast<size_t>(rows)) << screen;
    size_t at = 0;
    for (const std::string &e : expect) {
        size_t found = screen.find(e, at);
        EXPECT_NE(found, std::string::npos) << "'" << e << "' (in this order)\n" << screen;
        at = found == std::string::npos ? at : found + 1;
    }
    // The hint, put together again from its lines, whole.
    const vhost::RunStats &st = runner.stats();
    size_t hint = screen.find("\nseveral modules timed out");
    if (!st.lineWideLast.empty()) {
        ASSERT_NE(hint, std::string::npos) << screen;
        std::string joined;
        std::istringstream in(screen.substr(hint + 1));
        for (std::string l; std::getline(in, l) && (joined.empty() || l.rfind("  ", 0) == 0);)
            joined += (joined.empty() ? "" : " ") + l.substr(l.find_first_not_of(' '));
        EXPECT_EQ(joined, vhost::lineWideHint(st.lineWideLast)) << screen;
    }
    // A screen filled to its last row: no line end after that row (which
    // would scroll the screen), nothing cleared below it.
    if (frame.size() == static_cast<size_t>(rows)) {
        EXPECT_EQ(std::count(raw.begin(), raw.end(), '\n'), rows - 1) << raw;
        EXPECT_EQ(raw.find("\x1b[J"), std::string::npos) << raw;
    }
}

TEST_P(LiveScreens, FitTheTerminal)
{
    const ScreenCase &c = GetParam();
    std::string text = kHead;
    for (int r = 0; r < c.rungs; ++r)
        text += std::string(r ? "[[rung]]\ninstr = \"FAKE\"\n" : "") + "args = [" + std::to_string(r % c.modules + 1) +
                ", 0, \"N7:0\", \"F8:0\", \"F8:2\", \"N7:1\"]\n";
    vhost::Program prog = vhost::parseLadderText(text, "t.toml", TABLE.f);
    vhost::Console console(stdout);
    vhost::Runner runner(prog, TABLE.f, console);
    char *raw = nullptr;
    size_t rawSize = 0;
    FILE *out = open_memstream(&raw, &rawSize);
    ASSERT_NE(out, nullptr);
    vhost::LiveView view(out, c.columns, c.rows);
    vhost::FailureTraces traces;
    view.failures(&traces);
    console.hold(true);
    console.tap([&](const std::string &t, const std::string &source) {
        traces.call(t, 1, source);
        view.moduleText(t, source);
    });
    fail = debugTraces = c.fail;
    auto drawn = [&](long number) {
        rewind(out);
        view.scan(runner, number, runner.scan(number, false), true);
        fflush(out);
        return std::string(raw, static_cast<size_t>(ftell(out)));
    };
    std::string first = drawn(1);
    checkScreen(view, runner, 1, first, c.columns, c.rows, c.lines, c.expect);
    if (c.newColumns) {
        view.resize(c.newColumns, c.newRows);
        std::string next = drawn(2);
        EXPECT_EQ(next.rfind("\x1b[2J\x1b[H", 0), 0u) << "cleared at the new size";
        checkScreen(view, runner, 2, next, c.newColumns, c.newRows, c.newLines, c.newExpect);
    }
    fclose(out);
    free(raw);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LiveScreens,
    ::testing::Values(
        // Each rung takes two lines at 80 columns: after the head and the ten
        // lines of the modules, six rungs and the line for the other 14.
        ScreenCase{"modules_first_at_80x24",
                   80,
                   24,
                   20,
                   9,
                   false,
                   24,
                   {"scan 1 ", "\nmodules: exchanges, codes, response min/median/max, longest failure run\n01h  3 exch",
                    "\n09h  2 exch ", "\nR0  FAKE@01h ", "\nR5  FAKE@06h ",
                    "\n(14 more rungs, R6 to R19: a taller terminal shows them)\n"}},
        ScreenCase{"hint_wrapped_at_80",
                   80,
                   24,
                   3,
                   3,
                   true,
                   0,
                   {"\n03h  1 exch  1005 TIMEOUT x1", "\nseveral modules timed out in one scan (01h, 02h, 03h): that",
                    "\nR0  FAKE@01h "}},
        // At 40 columns the module's text goes below the scan and rung it
        // came from, whole.
        ScreenCase{"hint_wrapped_at_40",
                   40,
                   24,
                   3,
                   3,
                   true,
                   24,
                   {"\nmodules: exchanges, codes, response\n  min/median/max, longest failure run\n",
                    "\nseveral modules timed out in one scan\n  (01h, 02h, 03h): that looks line-wide\n",
                    "\nfailures the module traced, the last ", "  R2 FAKE@03h:\n    addr=3  ec=1005\n"}},
        // Two rungs read 01h: each of the module's lines names its own.
        ScreenCase{"traces_name_their_rungs",
                   80,
                   40,
                   3,
                   2,
                   true,
                   0,
                   {"\nthe module said:\n  R0 FAKE@01h: addr=1  ec=1005\n  R1 FAKE@02h: addr=2  ec=1005\n  R2 "
                    "FAKE@01h: addr=1  ec=1005\n",
                    "\nfailures the module traced, the last 3:\n  scan 1 ", "  R0 FAKE@01h: addr=1  ec=1005\n  scan 1 ",
                    "  R1 FAKE@02h: addr=2  ec=1005\n  scan 1 ", "  R2 FAKE@01h: addr=1  ec=1005\n"}},
        // Short of rows, the module's last failure stays; the rungs get what
        // is left, its earlier failures and its last lines give way.
        ScreenCase{"last_failure_kept_at_80x24",
                   80,
                   24,
                   20,
                   9,
                   true,
                   24,
                   {"\n09h  2 exch ", "\nseveral modules timed out", "\nR0  FAKE@01h ", "\n(18 more rungs, R2 to R19: ",
                    "\nfailures the module traced, the last 3:\n", "  R19 FAKE@02h: addr=2  ec=1005\n"}},
        ScreenCase{"resized_to_40x12",
                   80,
                   24,
                   20,
                   9,
                   false,
                   24,
                   {"\n(14 more rungs, R6 to R19: a taller terminal shows them)\n"},
                   40,
                   12,
                   12,
                   {"scan 2 ", "\nmodules: exchanges, codes, response\n",
                    "\n04h  4 exch  0 OK x4  0.0/0.0/0.0 ms\n     run 0\n", "\n(5 more modules and 20 more rungs)"}},
        ScreenCase{"resized_taller_shows_every_rung",
                   80,
                   24,
                   10,
                   3,
                   false,
                   24,
                   {"\nR8  FAKE@03h ", "\n(1 more rung, R9: a taller terminal shows them)"},
                   120,
                   60,
                   15,
                   {"\n03h  6 exch ", "\nR0  FAKE@01h ", " ErrCode=0 OK\nR1  FAKE@02h ", "\nR9  FAKE@01h "}}),
    [](const ::testing::TestParamInfo<ScreenCase> &i) { return std::string(i.param.name); });

// ---------------------------------------------------------------------------
// Option strings as the module's own parser reads them, and the pitfalls
// the tools warn about.

struct OptionCase {
    const char *options;
    unsigned code;
    int port;
    long baud;
    unsigned timeout;
    bool checksum, debug;
    const char *warning; // "" none expected
    unsigned latency = LATENCY_DEFAULT_MS;
};

void PrintTo(const OptionCase &c, std::ostream *os) { *os << '"' << c.options << '"'; }

class Options : public ::testing::TestWithParam<OptionCase> {};

TEST_P(Options, ReadAsTheModuleReadsThem)
{
    const OptionCase &c = GetParam();
    std::string o = c.options;
    vhost::OptionReading r = vhost::readOptions(&o);
    EXPECT_EQ(r.code, c.code) << r.console;
    EXPECT_EQ(r.settings.port, c.port);
    EXPECT_EQ(r.settings.baud, c.baud);
    EXPECT_EQ(r.settings.timeout, c.timeout);
    EXPECT_EQ(r.settings.checksum, c.checksum);
    EXPECT_EQ(r.settings.debug, c.debug);
    EXPECT_EQ(r.settings.latency, c.latency);
    std::string shown = vhost::settingsText(r.settings);
    EXPECT_NE(shown.find(" time-out " + std::to_string(c.timeout) + " ms, latency " + std::to_string(c.latency) +
                         " ms, checksum " + (c.checksum ? "on" : "off")),
              std::string::npos)
        << shown;
    std::string all;
    for (const std::string &w : r.warnings)
        all += w + "\n";
    if (*c.warning) {
        EXPECT_NE(all.find(c.warning), std::string::npos) << all;
    } else {
        EXPECT_TRUE(r.warnings.empty()) << all;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Options,
    ::testing::Values(OptionCase{"COMPORT=2 BAUD=96 TIMEOUT=100 CHECKSUM DEBUG", 0, 2, 9600, 100, true, true, ""},
                      OptionCase{"", 0, 1, 19200, 40, false, false, ""},
                      OptionCase{"COMPORT=1,BAUD=96", 0, 1, 19200, 40, false, false, "'BAUD=96' has no effect"},
                      OptionCase{"BAUD=96;TIMEOUT=100", 0, 1, 9600, 40, false, false,
                                 "a ';' does not separate options"},
                      OptionCase{"CHECKSUM=0", 0, 1, 19200, 40, true, false, "'CHECKSUM=0' switches checksums ON"},
                      OptionCase{"DEBUG=0", 0, 1, 19200, 40, false, true, "'DEBUG=0' switches debugging ON"},
                      OptionCase{"TIMEOUT=70ms", 0, 1, 19200, 70, false, false, "read as TIMEOUT=70"},
                      OptionCase{"BAUD=96k", 0, 1, 9600, 40, false, false, "read as BAUD=96"},
                      OptionCase{"BAUD =96", 1002, 1, 19200, 40, false, false, "a blank before the '='"},
                      OptionCase{"TIMEOUT= 70", 1002, 1, 19200, 70, false, false, "a blank after the '='"},
                      OptionCase{"BAUD=9600", 1009, 1, 19200, 40, false, false, ""}, // a rejected value is not stored
                      OptionCase{"LATENCY=0 TIMEOUT=60", 0, 1, 19200, 60, false, false, "", 0},
                      OptionCase{"latency=255", 0, 1, 19200, 40, false, false, "", 255},
                      OptionCase{"LATENCY=256", 1021, 1, 19200, 40, false, false, ""},
                      OptionCase{"LATENCY=5 LATENCY=-1", 1021, 1, 19200, 40, false, false, "", 5},
                      OptionCase{"LATENCY=16ms", 0, 1, 19200, 40, false, false,
                                 "read as LATENCY=16: the text after the number ('ms') is ignored (the latency is "
                                 "always in ms)",
                                 16},
                      OptionCase{"LATENCY =16", 1002, 1, 19200, 40, false, false, "a blank before the '='"},
                      OptionCase{"LATENCY= 16", 1002, 1, 19200, 40, false, false, "a blank after the '='", 16}),
    [](const ::testing::TestParamInfo<OptionCase> &i) { return "case" + std::to_string(i.index); });

// Every code the module can return has one entry with its own name; codes
// show as "CODE NAME".
// ---------------------------------------------------------------------------
// The trend plot's layout of a log: what is drawn, what the key names, and
// the marks.

struct PlotCase {
    const char *name;
    std::string columns;                      // after "time,scan,scan_ms,"
    std::vector<std::string> rows;            // after each row's time and scan, from "scan_ms,"
    std::vector<std::string> drawn, notDrawn; // in the script
    size_t scanMarkRows;                      // the heights of the scan panel's marks in the first scan
};

void PrintTo(const PlotCase &c, std::ostream *os) { *os << c.name; }

class PlotLayout : public ::testing::TestWithParam<PlotCase> {};

TEST_P(PlotLayout, DrawsAndNamesWhatWasRead)
{
    const PlotCase &c = GetParam();
    std::string log = "time,scan,scan_ms," + c.columns + "\n";
    for (size_t i = 0; i < c.rows.size(); ++i)
        log += "2026-12-08T07:53:1" + std::to_string(i) + ".000Z," + std::to_string(i + 1) + "," + c.rows[i] + "\n";
    std::istringstream in(log);
    vhost::TrendPlot plot;
    ASSERT_TRUE(plot.read(in, "t.csv"));
    plot.layout();
    std::string script = plot.script("t.png", "t.data", true), data = plot.data();
    for (const std::string &w : c.drawn)
        EXPECT_NE(script.find(w), std::string::npos) << w << "\n" << script;
    for (const std::string &w : c.notDrawn)
        EXPECT_EQ(script.find(w), std::string::npos) << w << "\n" << script;
    std::istringstream first(data.substr(0, data.find('\n')));
    std::vector<std::string> fields{std::istream_iterator<std::string>(first), std::istream_iterator<std::string>()};
    std::set<std::string> heights;
    for (size_t k = 0; k < c.scanMarkRows; ++k)
        heights.insert(fields.at(2 + k));
    EXPECT_EQ(heights.size(), c.scanMarkRows) << data;
    EXPECT_EQ(heights.count("NaN"), 0u) << data;
}

const std::string DIN_COLS =
    "R0.I7041@04h.on,R0.I7041@04h.ms,R0.I7041@04h.XORmask,R0.I7041@04h.DIN,R0.I7041@04h.ErrCode";
const std::string RDC_COLS =
    "R1.I7RDC@04h.on,R1.I7RDC@04h.ms,R1.I7RDC@04h.Chan,R1.I7RDC@04h.Count,R1.I7RDC@04h.ErrCode";
std::string ainCols(const std::string &rung, bool errChan)
{
    std::string s = rung + ".on," + rung + ".ms," + rung + ".Format";
    for (int i = 0; i < 8; ++i)
        s += "," + rung + ".AIN[" + std::to_string(i) + "]";
    return s + "," + rung + ".ErrCode" + (errChan ? "," + rung + ".ErrChan" : "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlotLayout,
    ::testing::Values(
        // A counter beside the module's bit lanes, on the right axis; alone,
        // the panel's own lines.
        PlotCase{"counter_beside_lanes",
                 DIN_COLS + "," + RDC_COLS,
                 {"20,1,6.4,0,1,0,1,6.3,0,10,0", "20,1,6.4,0,1,0,1,6.3,0,25,0"},
                 {"title 'R1.I7RDC@04h.Count (right axis)'", " axes x1y2 ", "'R0 DIN.0' "},
                 {},
                 0},
        PlotCase{"counter_alone",
                 "R0.I7RDC@04h.on,R0.I7RDC@04h.ms,R0.I7RDC@04h.Chan,R0.I7RDC@04h.Count,R0.I7RDC@04h.ErrCode",
                 {"7,1,6.3,0,10,0", "7,1,6.3,0,11,0"},
                 {"with lines title 'R0.I7RDC@04h.Count'"},
                 {"right axis", "R0.I7RDC@04h.ms"},
                 0},
        // A module that never answered has no line in the key, only its
        // marks; nor has the open input of another.
        PlotCase{"no_data_keyed_nowhere",
                 ainCols("R0.I7017@20h", false) + "," + ainCols("R1.I7018@02h", true),
                 {"120,1,100.2,0,0,0,0,0,0,0,0,0,1005,1,21.5,2,8192,16384,0,0,0,32767,-8192,4096,1018,4",
                  "121,1,100.1,0,0,0,0,0,0,0,0,0,1005,1,21.5,2,8192,16384,0,0,0,32767,-8192,4096,1018,4"},
                 {"title 'R0 I7017@20h: 1005 TIMEOUT'", "title 'R1.I7018@02h.AIN[1]'",
                  "title 'R1 I7018@02h: 1018 AIN_LENGTH'"},
                 {"R0.I7017@20h.", "R1.I7018@02h.AIN[2]", "R0.I7017@20h.ms"},
                 2},
        // Two rungs of one module failing in the same scan: each mark names
        // its rung and code, in a row of its own.
        PlotCase{"marks_name_rung_and_code",
                 DIN_COLS + "," + RDC_COLS,
                 {"140,1,100.5,0,0,1005,1,6.3,16,0,1016", "30,1,6.4,0,1,0,1,6.3,16,0,1016"},
                 {"title 'R0 I7041@04h: 1005 TIMEOUT'", "title 'R1 I7RDC@04h: 1016 BAD_CHANNEL'"},
                 {"title '1005 TIMEOUT'"},
                 2},
        // 0x2A55: every lane from bit 0 to 13 labelled, those never set too.
        PlotCase{"every_lane_labelled",
                 DIN_COLS,
                 {"20,1,6.4,0,10837,0"},
                 {"'R0 DIN.0' ", "'R0 DIN.1' ", "'R0 DIN.7' ", "'R0 DIN.8' ", "'R0 DIN.12' ", "'R0 DIN.13' "},
                 {"'R0 DIN.14'"},
                 0},
        // A rung never true: an empty panel that gnuplot still draws.
        PlotCase{"never_true", DIN_COLS, {"20,0,0.0,0,0,0"}, {"plot NaN notitle"}, {"R0 DIN"}, 0}),
    [](const ::testing::TestParamInfo<PlotCase> &i) { return std::string(i.param.name); });

TEST(ErrorTable, NamesEveryCodeOnce)
{
    std::vector<unsigned> codes = {EC_OK, EC_BAD_REQUEST};
    for (unsigned c = EC_BAD_COMPORT; c <= EC_BAD_LATENCY; ++c)
        codes.push_back(c);
    size_t n = 0;
    const vhost::ErrorInfo *t = vhost::errorTable(&n);
    EXPECT_EQ(n, codes.size());
    std::vector<std::string> names;
    for (unsigned c : codes) {
        const vhost::ErrorInfo *e = vhost::findError(c);
        ASSERT_NE(e, nullptr) << c;
        EXPECT_TRUE(std::find(names.begin(), names.end(), e->name) == names.end()) << e->name;
        names.push_back(e->name);
        EXPECT_NE(*e->meaning, '\0') << c;
    }
    for (size_t i = 1; i < n; ++i)
        EXPECT_LT(t[i - 1].code, t[i].code);
    EXPECT_EQ(vhost::errorLabel(EC_TIMEOUT), "1005 TIMEOUT");
    EXPECT_EQ(vhost::errorLabel(EC_BAD_CHECKSUM), "1011 BAD_CHECKSUM");
    EXPECT_EQ(vhost::errorLabel(4242), "4242 ?");
    // The time-out entry gives the smallest time-out of an analog read at
    // 9600 baud: 62 characters (66 with checksums) plus the margin.
    std::string text = vhost::explainText(*vhost::findError(EC_TIMEOUT));
    EXPECT_NE(text.find("BAUD=96     9600 baud           70              74"), std::string::npos) << text;
    EXPECT_NE(vhost::explainText(*vhost::findError(EC_BANG)).find("I7RSMS"), std::string::npos);
}

// The frames the tools show, with the module's checksums.
TEST(Wire, FramesAndTimes)
{
    struct Case {
        const char *instr;
        bool checksum;
        std::vector<std::string> commands, replies;
    } cases[] = {
        {"I7017", false, {"#01\r"}, {">+dd.ddd+dd.ddd+dd.ddd+dd.ddd+dd.ddd+dd.ddd+dd.ddd+dd.ddd\r"}},
        {"I7017", true, {"#0184\r"}, {">+dd.ddd+dd.ddd+dd.ddd+dd.ddd+dd.ddd+dd.ddd+dd.ddd+dd.dddcc\r"}},
        {"I7RDMS",
         true,
         {"~010"
          "0F\r"},
         {"!01hhcc\r"}},
        {"I7SHWV", true, {"~013164AD\r"}, {"!01cc\r"}},
        {"I7060", false, {"@011\r", "@01\r"}, {">\r", ">hhhh\r"}},
        {"I7024", true, {"#021+05.00004\r"}, {">cc\r"}},
        {"I7HOK", true, {"~**D2\r"}, {""}},
    };
    for (const Case &c : cases) {
        vhost::InputValues in;
        in.addr = std::string(c.instr) == "I7024" ? 2 : 1;
        in.chan = 1;
        in.aout = 5.0f;
        in.dout = 1;
        in.hsecs = 100;
        std::vector<vhost::Exchange> x = vhost::exchangesOf(c.instr, in, c.checksum);
        ASSERT_EQ(x.size(), c.commands.size()) << c.instr;
        for (size_t i = 0; i < x.size(); ++i) {
            EXPECT_EQ(x[i].command, c.commands[i]) << c.instr;
            EXPECT_EQ(x[i].reply, c.replies[i]) << c.instr;
        }
    }
    vhost::Exchange ain = vhost::exchangesOf("I7017", vhost::InputValues(), false)[0];
    EXPECT_NEAR(vhost::wireMs(vhost::wireChars(ain), 9600), 64.58, 0.01);
    EXPECT_EQ(vhost::minTimeoutMs(ain, 9600), 70);
    EXPECT_EQ(vhost::minTimeoutMs(vhost::exchangesOf("I7RDMS", vhost::InputValues(), false)[0], 115200), 6);
}

// What send and term show of a reply's arrival: the polls that found
// characters waiting, in bursts split by a pause of more than three
// character times (at least 2 ms).
TEST(Wire, BurstsAsTheAdapterDelivered)
{
    struct Case {
        int baud;
        std::vector<vhost::Arrival> arrivals;
        const char *text;
    } cases[] = {
        {9600, {}, ""},
        {9600, {{58, 3.0}}, ""},
        // A line that hands each character over as it comes: one burst.
        {9600, {{1, 1.0}, {2, 2.1}, {1, 3.1}, {1, 6.2}}, ""},
        // A USB adapter's latency timer.
        {9600,
         {{7, 4.1}, {40, 20.3}, {22, 20.9}, {1, 36.2}},
         "3 bursts: 7 chars at 4.1 ms, 62 at 20.3 ms, 1 at 36.2 ms"},
        {9600, {{1, 1.0}, {0, 2.0}, {1, 5.2}}, "2 bursts: 1 char at 1.0 ms, 1 at 5.2 ms"},
        // Three character times at 9600 baud are 3.1 ms; at 115200 the pause is 2 ms.
        {9600, {{3, 1.0}, {3, 4.1}}, ""},
        {115200, {{3, 1.0}, {3, 3.1}}, "2 bursts: 3 chars at 1.0 ms, 3 at 3.1 ms"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(vhost::burstsText(vhost::burstsOf(c.arrivals, c.baud)), c.text) << c.baud;
}

// check's time-out rule for an analog read (58 reply characters): the wire
// time and 5 ms on a port that delivers at once; through a serial adapter
// the wire time, the module's turn-around (the plant's, else 2 ms) and the
// adapter's latency.  After a time-out the next exchange waits for a quiet
// line: three character times (at least 2 ms) and the latency.
TEST(Check, TimeOutCoversTheWireTurnaroundAndLatency)
{
    struct AnalogTable {
        FUNCDEF f[2];
        AnalogTable()
        {
            memset(f, 0, sizeof f);
            strcpy(f[0].fnc_name, "I7017");
            strcpy(f[0].fnc_desc, "Read 8 Analog Inputs");
            f[0].fnc_ptr = &fakeIo;
            f[0].fnc_numargs = 4;
            f[0].p[0] = parm("Addr:", ARG_WORD_IN, 1);
            f[0].p[1] = parm("Format:", ARG_WORD_IN, 1);
            f[0].p[2] = parm("AIN:", ARG_ARRAY_OUT, 8);
            f[0].p[3] = parm("ErrCode:", ARG_WORD_OUT, 1);
        }
    } const table;
    const vhost::Program prog =
        vhost::parseLadderText("[data]\nN7 = { type = \"word\", size = 4 }\n"
                               "F8 = { type = \"float\", size = 8 }\n"
                               "[[rung]]\ninstr = \"I7017\"\nargs = [1, 0, \"F8:0\", \"N7:0\"]\n",
                               "t.toml", table.f);
    struct Case {
        const char *options;
        const char *plant;   // "": none
        const char *warning; // "": none expected
        const char *silent;  // "with every module silent: ..."
    } cases[] = {
        {"BAUD=96 TIMEOUT=40 LATENCY=0", "",
         "the time-out 40 ms is shorter than the exchange needs at 9600 baud (64.6 ms on the wire); use TIMEOUT=70 or "
         "more",
         "44.0 ms"},
        {"BAUD=96 TIMEOUT=70 LATENCY=0", "", "", "74.0 ms"},
        // 3 ms of latency stay within the 5 ms.
        {"BAUD=96 TIMEOUT=69 LATENCY=3", "", "use TIMEOUT=70 or more", "76.0 ms"},
        {"BAUD=96 TIMEOUT=70", "",
         "the time-out 70 ms is shorter than the exchange needs through the serial adapter at 9600 baud (64.6 ms on "
         "the wire, 20 ms latency, 2.0 ms turn-around); use TIMEOUT=87 or more",
         "94.0 ms"},
        {"BAUD=96 TIMEOUT=87", "", "", "111.0 ms"},
        {"TIMEOUT=40", "[[module]]\naddress = 1\nmodel = 7017\n",
         "the time-out 40 ms is shorter than the exchange needs through the serial adapter at 19200 baud (32.3 ms on "
         "the wire, 20 ms latency, 1.0 ms turn-around); use TIMEOUT=54 or more",
         "62.0 ms"},
        {"TIMEOUT=54", "[[module]]\naddress = 1\nmodel = 7017\n", "", "76.0 ms"},
        {"BAUD=96 TIMEOUT=70 LATENCY=0", "[line]\nturnaround_ms = 8\n[[module]]\naddress = 1\nmodel = 7017\n",
         "the time-out 70 ms is shorter than the exchange needs at 9600 baud (64.6 ms on the wire, 8.0 ms "
         "turn-around); use TIMEOUT=73 or more",
         "74.0 ms"},
        {"BAUD=96 TIMEOUT=500 LATENCY=255",
         "[line]\nturnaround_ms = 1\n[[module]]\naddress = 1\nmodel = 7017\nturnaround_ms = 200\n",
         "(64.6 ms on the wire, 255 ms latency, 200.0 ms turn-around); even TIMEOUT=500, the longest, is too short",
         "759.0 ms"},
    };
    const std::string plantPath = ::testing::TempDir() + "/check-plant.toml";
    for (const Case &c : cases) {
        const std::string options = c.options;
        vhost::CheckInput in;
        in.prog = &prog;
        in.table = table.f;
        in.options = &options;
        if (*c.plant) {
            std::ofstream(plantPath) << c.plant;
            in.plantPath = plantPath;
        }
        std::string out;
        vhost::Exit status = vhost::runCheck(in, out);
        const std::string shown = std::string(c.options) + "\n" + out;
        EXPECT_EQ(out.find("error:"), std::string::npos) << shown;
        if (*c.warning) {
            EXPECT_EQ(status, vhost::EXIT_WARNINGS) << shown;
            const size_t at = out.find("warning: R0 I7017@01h: read analog inputs (decimal): the time-out ");
            ASSERT_NE(at, std::string::npos) << shown;
            EXPECT_NE(out.substr(at, out.find('\n', at) - at).find(c.warning), std::string::npos) << shown;
        } else {
            EXPECT_EQ(status, vhost::EXIT_OK) << shown;
        }
        EXPECT_NE(out.find(std::string("with every module silent: ") + c.silent), std::string::npos) << shown;
    }
    std::remove(plantPath.c_str());
}

// The records' JSON: what the writer writes reads back the same (escapes,
// characters beyond ASCII, numbers), and what is no JSON is refused with
// the line it is on.
TEST(Records, JsonReadsWhatItWritesAndRefusesTheRest)
{
    using vhost::json::Value;
    const struct {
        const char *text;
        const char *error; // "": read, and written back as `text` is (when `canonical`)
        const char *canonical;
    } cases[] = {
        {"{\"a\": [1, -2.5, 1e3, true, false, null], \"b\": {}}", "",
         "{\n  \"a\": [\n    1,\n    -2.5,\n    1000,\n    true,\n    false,\n    null\n  ],\n  \"b\": {}\n}\n"},
        {"\"tab\\t quote\\\" back\\\\ nl\\n \\u0001 \\u00e9 \\ud83d\\ude00\"", "",
         "\"tab\\t quote\\\" back\\\\ nl\\n \\u0001 \xc3\xa9 \xf0\x9f\x98\x80\"\n"},
        {"0.1", "", "0.1\n"},
        {"{\"a\": 1,\n \"b\" 2}", "line 2: expected ':'", ""},
        {"[1, 2,]", "line 1: expected a value", ""},
        {"\"open", "line 1: a string without its closing quote", ""},
        {"\"\\ud800\"", "line 1: a lone surrogate in a string", ""},
        {"01", "line 1: text after the value", ""},
        {"\"a\nb\"", "line 1: a control character in a string", ""},
        {"", "line 1: expected a value, not the end", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        Value v;
        std::string error;
        const bool ok = vhost::json::parse(c.text, v, error);
        EXPECT_EQ(ok, !*c.error) << error;
        EXPECT_EQ(error, c.error);
        if (ok && *c.canonical) {
            EXPECT_EQ(vhost::json::write(v), c.canonical);
            Value again;
            EXPECT_TRUE(vhost::json::parse(vhost::json::write(v), again, error)) << error;
            EXPECT_EQ(vhost::json::write(again), vhost::json::write(v));
        }
    }
    // The check sums of the records (FIPS 180-4's vectors: one block, two).
    EXPECT_EQ(vhost::sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(vhost::sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(vhost::sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

// The loop check's option string: the design's speed, checksums only when
// every module its points address has them, a time-out for the longest
// exchange its points make (the 7017's decimal read at 19200: 32.3 ms on
// the wire, a quarter more and 5 ms).
TEST(LoopCheck, OptionStringReachesTheDesignsLine)
{
    const std::string analog = "[line]\nbaud = 19200\n[[module]]\naddress = 1\nmodel = 7017\n"
                               "[[point]]\ntag = \"PT-1\"\naddress = 1\ndirection = \"in\"\nchannel = 0\n"
                               "range = [0, 10]\n";
    EXPECT_EQ(vhost::designOptions(vsim::parsePlant(analog, "a.toml"), 2), "COMPORT=2 BAUD=192 TIMEOUT=46 LATENCY=20");
    EXPECT_EQ(vhost::designOptions(vsim::parsePlant(analog, "a.toml"), 1, 150),
              "COMPORT=1 BAUD=192 TIMEOUT=150 LATENCY=20");
    const std::string relays = "[line]\nbaud = 9600\n[[module]]\naddress = 8\nmodel = 7060\nchecksum = true\n"
                               "[[module]]\naddress = 9\nmodel = 7065\n"
                               "[[point]]\ntag = \"XV-1\"\naddress = 8\ndirection = \"out\"\nbit = 1\n";
    // The 7060's write and its digital read, with checksums, at 9600.
    EXPECT_EQ(vhost::designOptions(vsim::parsePlant(relays, "r.toml"), 1),
              "COMPORT=1 BAUD=96 TIMEOUT=24 LATENCY=20 CHECKSUM");
    // A point on the 7065 without checksums: no one setting has them all.
    const std::string mixed = relays + "[[point]]\ntag = \"XV-2\"\naddress = 9\ndirection = \"out\"\nbit = 0\n";
    EXPECT_EQ(vhost::designOptions(vsim::parsePlant(mixed, "m.toml"), 1).find("CHECKSUM"), std::string::npos);
}

// The instructions a point is read and written with, found by what they do
// and the models they are made for: the thermocouple read that names open
// inputs, an input module's own read (its mask), the whole word for an
// output module, and the write made for it.
TEST(LoopCheck, PointsUseTheInstructionsMadeForTheirModule)
{
    using K = vsim::Point::Kind;
    const struct {
        vsim::Model model;
        K kind;
        const char *read, *write;
    } rows[] = {
        {vsim::Model::M7017, K::AnalogIn, "I7018", ""},        {vsim::Model::M7018, K::AnalogIn, "I7018", ""},
        {vsim::Model::M7024, K::AnalogOut, "", "I7024"},       {vsim::Model::M7041, K::DigitalIn, "I7041", ""},
        {vsim::Model::M7052, K::DigitalIn, "I7052", ""},       {vsim::Model::M7053, K::DigitalIn, "I7053", ""},
        {vsim::Model::M7043, K::DigitalOut, "I7053", "I7043"}, {vsim::Model::M7060, K::DigitalIn, "I7053", ""},
        {vsim::Model::M7060, K::DigitalOut, "I7053", "I7060"}, {vsim::Model::M7065, K::DigitalOut, "I7053", "I7065"},
    };
    for (const auto &row : rows) {
        vsim::Module m;
        m.model = row.model;
        vsim::Point p;
        p.kind = row.kind;
        const vhost::PointInstructions is = vhost::pointInstructions(m, p);
        EXPECT_STREQ(is.read ? is.read->name : "", row.read) << m.info().number;
        EXPECT_STREQ(is.write ? is.write->name : "", row.write) << m.info().number;
    }
}

// The survey's table: by address, hex and decimal, and a line for an
// address found at more than one setting.
TEST(Survey, ReportsByAddress)
{
    std::vector<vhost::SurveyFind> found(3);
    found[0] = {200, 9600, true, 0x04, 9.25, 0, 0, 0, "status only"};
    found[1] = {1, 19200, false, 0, 7.0, 0, 1015, 1006, "analog read (decimal)"};
    found[2] = {200, 115200, false, 0, 3.0, 0, 0, 0, "status only"};
    std::string r = vhost::surveyReport(found);
    EXPECT_EQ(r, "address      baud  checksum  status  response  answers\n"
                 "01 (  1)   19200  off       0x00      7.0 ms  analog read (decimal)\n"
                 "C8 (200)    9600  on        0x04      9.2 ms  status only\n"
                 "C8 (200)  115200  off       0x00      3.0 ms  status only\n"
                 "address C8 (200) answered at more than one setting: 9600 baud, checksum on; 115200 baud, "
                 "checksum off\n"
                 "2 addresses answered\n");
    EXPECT_EQ(vhost::surveyReport({}), "no module answered\n");
    // Bytes but never a valid reply at 01: not silence, and no "no module
    // answered"; where 01 answered at another setting, no such guess.
    const std::vector<vhost::SurveyGarbled> garbled = {{1, 9600, false, EC_TIMEOUT}};
    EXPECT_EQ(vhost::surveyReport({}, garbled), "no valid reply at any address\n");
    EXPECT_EQ(
        vhost::surveyGarbledLines(garbled, {})
            .rfind("address 01 (1): something answers at 01h, but garbled: more than one module at 01h? Garbled "
                   "replies 3 times in a row at 9600 baud, checksum off (1005 TIMEOUT, bytes but no whole reply). "
                   "Power the modules at 01h one at a time",
                   0),
        0u)
        << vhost::surveyGarbledLines(garbled, {});
    EXPECT_EQ(vhost::surveyGarbledLines(garbled, found).find("something answers"), std::string::npos);
    // No one setting reaches 01 and C8: the first that reaches most (one
    // each; without checksums, slowest first) and what it leaves out.
    EXPECT_EQ(vhost::surveyMixedLine(found),
              "one option string cannot reach the whole line: BAUD=192 without CHECKSUM reaches 1 of the 2 addresses "
              "and leaves out C8 (200) at 9600 baud, checksum on or 115200 baud, checksum off\n");
    found[1].baud = 115200;
    EXPECT_EQ(vhost::surveyMixedLine(found), "");
}

// The recommended option string: the setting that reaches most (19200 baud
// among equals), a time-out for the longest reply there and the slowest
// response, the latency the delivery needs.
TEST(Survey, RecommendsTheOptionString)
{
    using vhost::SurveyFind;
    auto find = [](int addr, int baud, bool cs, unsigned dec, unsigned din, double excess) {
        SurveyFind f{addr, baud, cs, 0, 0, dec, EC_TIMEOUT, din, "", excess};
        return f;
    };
    const unsigned none = EC_TIMEOUT; // a read the module did not answer
    struct Case {
        const char *what;
        std::vector<SurveyFind> found;
        std::string lines; // what must stand in the recommendation, in order
    } cases[] = {
        {"nothing answered", {}, ""},
        // A 7017's decimal read at 19200: 62 characters, 32.3 ms; 1.2 ms
        // late: 33.5 ms, a quarter more and 5 ms.
        {"plain port",
         {find(1, 19200, false, EC_OK, none, 1.2), find(4, 19200, false, none, EC_OK, 0.9)},
         "measured: replies came up to 1.2 ms after their time on the wire (01h: turn-around and delivery); the "
         "longest, 01h's read analog inputs (decimal), takes 32.3 ms on the wire: 33.5 ms in all\n"
         "recommended option string: COMPORT=2 BAUD=192 TIMEOUT=47 LATENCY=2\n"},
        // The digital module's 14.5 ms response beyond its wire time is an
        // adapter's: at least the driver's default latency, and the time-out
        // covers the analog reply of another module arriving that late.
        {"adapter",
         {find(1, 19200, false, EC_OK, none, 1.5), find(4, 19200, false, none, EC_OK, 14.5)},
         "(04h: turn-around and delivery); the longest, 01h's read analog inputs (decimal), takes 32.3 ms on the "
         "wire: 46.8 ms in all\nreplies come late: a serial adapter\n"
         "recommended option string: COMPORT=2 BAUD=192 TIMEOUT=64 LATENCY=20\n"},
        {"a 50 ms latency timer",
         {find(4, 9600, true, none, EC_OK, 52.0)},
         "recommended option string: COMPORT=2 BAUD=96 TIMEOUT=89 LATENCY=65 CHECKSUM\n"},
        // Modules that follow the line answer at every speed: the driver's
        // own 19200 then, not the first in order.
        {"every speed",
         {find(4, 9600, false, none, EC_OK, 1.0), find(4, 19200, false, none, EC_OK, 1.0),
          find(4, 38400, false, none, EC_OK, 1.0)},
         "COMPORT=2 BAUD=192 TIMEOUT="},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string r = vhost::surveyRecommendation(c.found, 2);
        if (c.lines.empty()) {
            EXPECT_EQ(r, "");
            continue;
        }
        size_t at = 0;
        for (size_t i = 0, j; i < c.lines.size(); i = j + 1) {
            j = c.lines.find("\n", i);
            if (j == std::string::npos)
                j = c.lines.size();
            std::string part = c.lines.substr(i, j - i);
            size_t found = r.find(part, at);
            ASSERT_NE(found, std::string::npos) << part << "\n" << r;
            at = found + part.size();
        }
    }
}

} // namespace
