// Faults, pacing and the control channel, on a driven clock.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "answers.h"
#include "faults.h"
#include "sim.h"

using namespace vsim;

namespace {

const char *const PLANT = R"(
[line]
baud = 10000        # one character a millisecond
turnaround_ms = 2

[[module]]
address = 6
model = 7052
din = 0xA5

[[module]]
address = 7
model = 7053
din = 0x1234

[[module]]
address = 0x10
model = 7043
checksum = true

[[module]]
address = 2
model = 7018
format = "hex"
full_scale = 100.0

[[module]]
address = 3
model = 7024

[[module]]
address = 4
model = 7041
)";

Fault fault(FaultKind k)
{
    Fault f;
    f.kind = k;
    return f;
}

std::string wire(const Shaped &s)
{
    std::string all;
    for (const auto &p : s.pieces)
        all += p.bytes;
    return all;
}

TEST(Shape, EachFaultChangesTheReplyAsNamed)
{
    const struct {
        Fault f;
        bool sum;
        const char *bytes;
    } table[] = {
        {fault(FaultKind::BadSum), true, ">0F0F2B\r"},
        {fault(FaultKind::BadSum), false, ">0F0F\r"}, // nothing to spoil
        {fault(FaultKind::LowerSum), true, ">0F0F2a\r"},
        {fault(FaultKind::Truncate), false, ">0\r"},
        {[] {
             Fault f = fault(FaultKind::Truncate);
             f.keep = 1;
             return f;
         }(),
         false, ">\r"},
        {[] {
             Fault f = fault(FaultKind::Truncate);
             f.keep = 99;
             return f;
         }(),
         false, ">0F0\r"},
        {fault(FaultKind::Extra), false, ">0F0F0\r"},
        {[] {
             Fault f = fault(FaultKind::Extra);
             f.text = "?";
             return f;
         }(),
         false, ">0F0F?\r"},
        {fault(FaultKind::NoCr), false, ">0F0F"},
        {[] {
             Fault f = fault(FaultKind::Noise);
             f.text = "\xFFZ";
             return f;
         }(),
         false, "\xFFZ>0F0F\r"},
    };
    FaultSet set(1);
    for (const auto &t : table) {
        const std::string body = t.sum ? ">0F0F" + checksum(">0F0F") : ">0F0F";
        EXPECT_EQ(wire(set.shape(body, t.sum, {t.f})), t.bytes) << faultName(t.f.kind);
    }
}

TEST(Shape, DefaultNoiseIsOneToThreeCharactersThatNoCollectorTakes)
{
    FaultSet set(42);
    for (int i = 0; i < 50; ++i) {
        const std::string w = wire(set.shape(">0F0F", false, {fault(FaultKind::Noise)}));
        ASSERT_GE(w.size(), 7u);
        ASSERT_LE(w.size(), 9u);
        const std::string prefix = w.substr(0, w.size() - 6);
        EXPECT_EQ(w.substr(prefix.size()), ">0F0F\r");
        EXPECT_EQ(prefix.find_first_of(">!?\r"), std::string::npos);
    }
}

TEST(Shape, SplitAndLateSetTheTiming)
{
    FaultSet set(1);
    Fault split = fault(FaultKind::Split);
    split.pieces = 3;
    split.delayMs = 7;
    Fault late = fault(FaultKind::Late);
    late.delayMs = 40;
    const Shaped s = set.shape(">0F0F", false, {split, late});
    EXPECT_DOUBLE_EQ(s.delayMs, 40);
    ASSERT_EQ(s.pieces.size(), 3u);
    EXPECT_EQ(s.pieces[0].bytes + s.pieces[1].bytes + s.pieces[2].bytes, ">0F0F\r");
    EXPECT_EQ(s.pieces[0].bytes, ">0");
    EXPECT_DOUBLE_EQ(s.pieces[0].gapMs, 0);
    EXPECT_DOUBLE_EQ(s.pieces[1].gapMs, 7);
    EXPECT_DOUBLE_EQ(s.pieces[2].gapMs, 7);
}

TEST(FaultSetRoll, CountAddressAndProbability)
{
    FaultSet set(7);
    std::string err;
    set.add(*parseFault({"6", "refuse", "count=2"}, &err));
    set.add(*parseFault({"*", "noise", "p=0"}, &err));
    EXPECT_TRUE(set.roll(7).empty()); // neither: other address, p = 0
    EXPECT_EQ(set.roll(6).size(), 1u);
    EXPECT_EQ(set.roll(6).size(), 1u);
    EXPECT_TRUE(set.roll(6).empty()); // used up, and removed
    EXPECT_EQ(set.faults().size(), 1u);

    FaultSet a(99), b(99);
    a.add(*parseFault({"*", "late", "p=0.5"}, &err));
    b.add(*parseFault({"*", "late", "p=0.5"}, &err));
    int hits = 0;
    for (int i = 0; i < 1000; ++i) {
        const bool ha = !a.roll(1).empty();
        ASSERT_EQ(ha, !b.roll(1).empty()) << "same seed, same draws";
        hits += ha;
    }
    EXPECT_GT(hits, 400);
    EXPECT_LT(hits, 600);
}

TEST(FaultParse, RejectsWhatItCannotDo)
{
    const std::vector<std::vector<std::string>> bad = {{"*"},
                                                       {"*", "explode"},
                                                       {"300", "late"},
                                                       {"x", "late"},
                                                       {"*", "late", "p=2"},
                                                       {"*", "late", "delay=-1"},
                                                       {"*", "split", "pieces=1"},
                                                       {"*", "late", "count"},
                                                       {"*", "late", "colour=red"}};
    for (const auto &w : bad) {
        std::string err;
        EXPECT_FALSE(parseFault(w, &err)) << w[0] << " " << (w.size() > 1 ? w[1] : "");
        EXPECT_FALSE(err.empty());
    }
    std::string err;
    auto f = parseFault({"0x10", "noise", "text=\\x00\\r", "count=3"}, &err);
    ASSERT_TRUE(f) << err;
    EXPECT_EQ(f->address, 16);
    EXPECT_EQ(f->text, std::string("\0\r", 2));
    EXPECT_EQ(f->count, 3);
}

class Engine : public ::testing::Test {
protected:
    Simulator sim{parsePlant(PLANT, "t"), 1};
};

TEST_F(Engine, PacesRepliesTenBitsACharacterAfterTheTurnaround)
{
    // "@06\r" arrives at 0 and takes 4 ms on the wire; the reply starts 2 ms
    // later, each character due when it has crossed the wire.
    sim.receive("@06\r", 0);
    ASSERT_TRUE(sim.hasOutput());
    EXPECT_DOUBLE_EQ(sim.nextDue(), 7);
    EXPECT_EQ(sim.takeDue(6.99), "");
    EXPECT_EQ(sim.takeDue(7), ">");
    EXPECT_EQ(sim.takeDue(11.5), "A500");
    EXPECT_EQ(sim.takeDue(12), "\r");
    // The next command, sent when the reply has ended, is answered in turn.
    sim.receive("@07\r", 12);
    EXPECT_DOUBLE_EQ(sim.nextDue(), 19);
    EXPECT_EQ(sim.takeDue(100), ">1234\r");
    EXPECT_FALSE(sim.hasOutput());
}

TEST_F(Engine, CommandsMayArriveInPiecesAndCrLf)
{
    sim.receive("@0", 0);
    sim.receive("6", 10);
    EXPECT_FALSE(sim.hasOutput());
    sim.receive("\r\n", 20); // the reply runs from 23 to 28
    sim.receive("@07\r", 30);
    EXPECT_EQ(sim.takeDue(1000), ">A500\r>1234\r");
    EXPECT_EQ(sim.stats().commands, 2u);
}

TEST_F(Engine, BaudAndTurnaroundOverride)
{
    sim.setBaud(1000); // 10 ms a character
    sim.setTurnaround(0);
    sim.receive("@06\r", 0);
    EXPECT_DOUBLE_EQ(sim.nextDue(), 50);
    EXPECT_EQ(sim.takeDue(89.9), ">A50");
    EXPECT_EQ(sim.takeDue(100), "0\r");
}

TEST_F(Engine, InjectedFaultsThroughTheControlChannel)
{
    EXPECT_EQ(sim.control("fault 6 late delay=50 count=1", 0).substr(0, 2), "OK");
    sim.receive("@06\r", 0);
    EXPECT_DOUBLE_EQ(sim.nextDue(), 57);
    sim.takeDue(1000);

    EXPECT_EQ(sim.control("fault 6 split pieces=2 delay=20 count=1", 1000).substr(0, 2), "OK");
    sim.receive("@06\r", 1000);
    EXPECT_EQ(sim.takeDue(1009), ">A5");
    EXPECT_EQ(sim.takeDue(1029.5), "");
    EXPECT_EQ(sim.takeDue(1032), "00\r");

    // Silence loses the command: the write does not happen.
    EXPECT_EQ(sim.control("fault 16 silence count=1", 2000).substr(0, 2), "OK");
    const std::string w = "@10FFFF";
    sim.receive(w + checksum(w) + "\r", 2000);
    EXPECT_FALSE(sim.hasOutput());
    EXPECT_EQ(sim.control("get 16 dout", 2000), "OK 0000");
    sim.receive(w + checksum(w) + "\r", 2100);
    EXPECT_EQ(sim.takeDue(3000), ">3E\r");
    EXPECT_EQ(sim.control("get 16 dout", 3000), "OK FFFF");

    // Refusal replaces the answer and is not carried out either.
    EXPECT_EQ(sim.control("fault * refuse count=1", 3000).substr(0, 2), "OK");
    sim.receive("#031+05.000\r", 3000);
    EXPECT_EQ(sim.takeDue(4000), "?03\r");
    EXPECT_EQ(sim.control("get 3 aout 1", 4000), "OK 0.000");

    EXPECT_EQ(sim.control("fault * nocr", 4000).substr(0, 2), "OK");
    EXPECT_EQ(sim.control("faults", 4000), "OK 1; * nocr p=1");
    EXPECT_EQ(sim.control("clear-faults", 4000), "OK");
    EXPECT_EQ(sim.control("faults", 4000), "OK 0");

    const std::string stats = sim.control("stats", 5000);
    EXPECT_NE(stats.find("commands=5 replies=4"), std::string::npos) << stats;
    EXPECT_NE(stats.find("lost=1"), std::string::npos) << stats;
    EXPECT_NE(stats.find("faults=4"), std::string::npos) << stats;
}

TEST_F(Engine, ControlCommandsAnswerOneLineEach)
{
    const struct {
        const char *command;
        const char *reply;
    } table[] = {
        {"ping", "OK"},
        {"set 2 ain 0 50", "OK"},
        {"get 2 ain 0", "OK 50.000 4000"},
        {"set 2 ain-open 1", "OK"},
        {"get 2 ain 1", "OK open -0000"},
        {"set 2 format decimal", "OK"},
        {"get 2 ain 0", "OK 50.000 +50.000"},
        {"set 2 ain 8 1", "ERR bad analog input channel"},
        {"set 2 ain 0 abc", "ERR usage: set <addr> ain <ch> <value> | ain <ch> ramp ... | ain-open <ch>"},
        {"set 6 din 0x5A", "OK"},
        {"get 6 din", "OK 5A"},
        {"set 6 din 256", "ERR bad digital input value"},
        {"set 6 din 0x10000005A", "ERR bad digital input value"},
        {"set 4 din 16383", "OK"},
        {"get 4 din", "OK 3FFF"},
        {"set 4 counter 13 70000", "OK"},
        {"get 4 counter 13", "OK 70000"},
        {"set 4 counter 14 1", "ERR usage: set <addr> counter <ch> <0..1048575>"},
        {"get 16 dout", "OK 0000"},
        {"get 16 status", "OK 00"},
        {"set 16 status 0x80", "OK"},
        {"get 16 status", "OK 80"},
        {"get 16 watchdog", "OK 0 0 0"},
        {"set 16 watchdog 1 100", "OK"},
        {"get 16 watchdog", "OK 1 100 0"},
        {"expire 16", "OK"},
        {"get 16 watchdog", "OK 1 100 1"},
        {"get 16 status", "OK 84"},
        {"reset 16", "OK"},
        {"get 16 watchdog", "OK 1 100 0"},
        {"get 16 status", "OK 00"},
        {"expire 16", "OK"},
        {"set 16 status 0x04", "OK"},
        {"get 16 watchdog", "OK 1 100 1"},
        {"set 16 status 0", "OK"},
        {"get 16 watchdog", "OK 1 100 0"},
        {"reset 99", "ERR no module 99"},
        {"reset 4294967312", "ERR no module 4294967312"},
        {"set 6 baud 9600", "OK"},
        {"set 6 baud fast", "ERR usage: set <addr> baud <n>|line"},
        {"set 6 turnaround 3.5", "OK"},
        {"set 6 turnaround -1", "ERR usage: set <addr> turnaround <ms>|line"},
        {"fault 6 babble", "OK 6 babble p=1 delay=200"},
        {"get 3 aout 3", "OK 0.000"},
        {"get 3 aout 4", "ERR bad analog output channel"},
        {"get 6 dout", "ERR module has no digital outputs"},
        {"get 99 status", "ERR no module 99"},
        {"fault 99 late", "ERR no module 99"},
        {"fault * late count=2", "OK * late p=1 delay=100 count=2"},
        {"fault 6 babble delay=60000", "OK 6 babble p=1 delay=60000"},
        {"fault 6 babble delay=6777777777777777770", "ERR bad option: delay=6777777777777777770"},
        {"init 6 2", "ERR usage: init <addr> 0|1"},
        {"init #7 1", "ERR no module #7"},
        {"power 99", "ERR no module 99"},
        {"init #1 1", "OK"},
        {"power #1", "OK address=00 baud=9600 checksum=0 init=1"},
        {"get 6 din", "OK 5A"},
        {"set line baud 9600", "OK"},
        {"set line adapter_latency_ms 255.5",
         "ERR usage: set line baud <n> | set line turnaround <ms> | set line adapter_latency_ms <0..255> | set line "
         "adapter_jitter_ms <0..50>"},
        {"set line adapter_latency_ms -1", "ERR usage: set line baud <n> | set line turnaround <ms> | set line "
                                           "adapter_latency_ms <0..255> | set line adapter_jitter_ms <0..50>"},
        {"set line adapter_jitter_ms nan", "ERR usage: set line baud <n> | set line turnaround <ms> | set line "
                                           "adapter_latency_ms <0..255> | set line adapter_jitter_ms <0..50>"},
        {"set line adapter_jitter_ms 50.5", "ERR usage: set line baud <n> | set line turnaround <ms> | set line "
                                            "adapter_latency_ms <0..255> | set line adapter_jitter_ms <0..50>"},
        {"set line adapter_latency_ms 16", "OK"},
        {"set line adapter_jitter_ms 2.5", "OK"},
        {"save", "ERR usage: save <file>"},
        {"save /nonexistent/plant.toml", "ERR cannot write /nonexistent/plant.toml: No such file or directory"},
        {"frobnicate", "ERR unknown command: frobnicate"},
        {"quit", "OK"},
    };
    for (const auto &t : table)
        EXPECT_EQ(sim.control(t.command, 0), t.reply) << t.command;
    EXPECT_TRUE(sim.quitRequested());
    EXPECT_EQ(sim.baud(), 9600);
    const std::string stats = sim.control("stats", 0);
    EXPECT_NE(stats.find(" adapter_latency_ms=16 adapter_jitter_ms=2.5"), std::string::npos) << stats;
}

TEST_F(Engine, ControlSetValuesShowOnTheWire)
{
    sim.control("set 2 ain 0 -25", 0);
    sim.control("set 2 ain-open 7", 0);
    sim.receive("#02\r", 0);
    EXPECT_EQ(sim.takeDue(1000), ">E000" + std::string(24, '0') + "-0000\r");
    sim.control("set 2 ain 7 ramp 0 100 0 50", 1000); // 100 per second, wrapping at 50
    sim.receive("#027\r", 1300);
    EXPECT_EQ(sim.takeDue(2000), ">" + hexField(30, 100) + "\r");
}

// What the host receives, with every garbled character shown as '~'.
std::string heard(std::string bytes)
{
    for (char &c : bytes)
        if (static_cast<unsigned char>(c) >= 0x80)
            c = '~';
    return bytes;
}

// One wire, one character at a time: at 10000 baud a character takes 1 ms,
// the turnaround is 2 ms, "@06\r" sent at 0 is answered from 6 to 12.
TEST(Line, CollisionsGarbleBothAndNobodyActsOnAGarbledCommand)
{
    const struct {
        const char *name;
        std::vector<std::string> setup;
        std::vector<std::pair<Millis, std::string>> sent; // by the host
        const char *heard;
        int collisions;
        const char *check; // a control command after it all
        const char *answer;
        const char *tapped; // what a listener on the wire heard, both ways
    } table[] = {
        {"a command into a reply: the reply's rest and the command are lost",
         {},
         {{0, "@06\r"}, {8, "#031+05.000\r"}},
         ">A~~~~",
         1,
         "get 3 aout 1",
         "OK 0.000",
         "@06\r>A~~~~+05.000\r"},
        {"a command as the reply ends: no collision",
         {},
         {{0, "@06\r"}, {12, "#031+05.000\r"}},
         ">A500\r>\r",
         0,
         "get 3 aout 1",
         "OK 5.000",
         "@06\r>A500\r#031+05.000\r>\r"},
        {"the CR LF of a command is not a collision",
         {},
         {{0, "@06\r\n"}},
         ">A500\r",
         0,
         "get 6 din",
         "OK A5",
         "@06\r\n>A500\r"},
        {"a late reply into the next module's reply: both garbled",
         {"fault 6 late delay=8 count=1"},
         {{0, "@06\r"}, {4, "@07\r"}},
         ">123~~500\r",
         1,
         "faults",
         "OK 0",
         "@06\r@07\r>123~~500\r"},
        {"a module's own turnaround",
         {"set 6 turnaround 12", "set 7 turnaround 0"},
         {{0, "@06\r"}, {4, "@07\r"}},
         ">1234\r>A500\r",
         0,
         "set 6 turnaround line",
         "OK",
         "@06\r@07\r>1234\r>A500\r"},
        {"a module at another speed hears garbage",
         {"set 6 baud 9600"},
         {{0, "@06\r"}, {20, "@07\r"}},
         ">1234\r",
         0,
         "set 6 baud 10000",
         "OK",
         "@06\r@07\r>1234\r"},
        {"babble: garbage for its time, no CR, and a command into it is lost",
         {"fault 6 babble delay=10 count=1"},
         {{0, "@06\r"}, {10, "#031+05.000\r"}, {40, "@07\r"}},
         "~~~~~~~~~~>1234\r",
         1,
         "get 3 aout 1",
         "OK 0.000",
         "@06\r~~~~~~~~~~5.000\r@07\r>1234\r"},
        {"INIT wire at power-up: 00, 9600 baud, no checksum, its own settings told",
         {"set line baud 9600", "init 0x10 1", "power 0x10"},
         {{0, "$002\r"}},
         "!10400640\r",
         0,
         "power 16",
         "OK address=00 baud=9600 checksum=0 init=1",
         "$002\r!10400640\r"},
        {"INIT mode: a checksum change waits for the next power-up",
         {"set line baud 9600", "init 0x10 1", "power 0x10", "init 0x10 0"},
         {{0, "%0010400600\r"}, {30, "$002\r"}, {60, "$102\r"}},
         "!10\r!10400600\r",
         0,
         "power 16",
         "OK address=10 baud=line checksum=0 init=0",
         "%0010400600\r!10\r$002\r!10400600\r$102\r"},
        {"INIT mode: a baud change waits for the next power-up",
         {"set line baud 9600", "init 6 1", "power 6", "init 6 0"},
         {{0, "%0006400700\r"}},
         "!06\r",
         0,
         "power 6",
         "OK address=06 baud=19200 checksum=0 init=0",
         "%0006400700\r!06\r"},
        {"a baud change outside INIT mode is refused",
         {"set line baud 9600"},
         {{0, "%0606400700\r"}},
         "?06\r",
         0,
         "power 6",
         "OK address=06 baud=line checksum=0 init=0",
         "%0606400700\r?06\r"},
        {"a power cycle clears an expired watchdog",
         {"expire 6", "power 6"},
         {{0, "~060\r"}},
         "!0600\r",
         0,
         "get 6 watchdog",
         "OK 0 0 0",
         "~060\r!0600\r"},
        {"two modules at one address both answer and collide",
         {"set line baud 9600"},
         {{0, "%0706400600\r"}, {30, "@06\r"}},
         "!06\r~~~~~~",
         1,
         "get #2 din",
         "OK 1234",
         "%0706400600\r!06\r@06\r~~~~~~"},
        {"babble with the text given",
         {"fault 6 babble delay=5 text=AB count=1"},
         {{0, "@06\r"}},
         "ABABA",
         0,
         "get 6 din",
         "OK A5",
         "@06\rABABA"},
    };
    for (const auto &t : table) {
        SCOPED_TRACE(t.name);
        Simulator sim{parsePlant(PLANT, "t"), 1};
        sim.setTap(true);
        for (const auto &c : t.setup)
            ASSERT_EQ(sim.control(c, 0).substr(0, 2), "OK") << c;
        for (const auto &[at, bytes] : t.sent)
            sim.receive(bytes, at);
        EXPECT_EQ(heard(sim.takeDue(1000)), t.heard);
        EXPECT_EQ(heard(sim.takeTap(1000)), t.tapped);
        EXPECT_NE(sim.control("stats", 1000).find(" collisions=" + std::to_string(t.collisions) + " "),
                  std::string::npos)
            << sim.control("stats", 1000);
        EXPECT_EQ(sim.control(t.check, 1000), t.answer);
    }
}

TEST(Line, GarbledBytesAreSeededAndNeverACarriageReturn)
{
    std::string first;
    for (int run = 0; run < 2; ++run) {
        Simulator sim{parsePlant(PLANT, "t"), 5};
        sim.control("fault * babble delay=2000", 0);
        sim.receive("@06\r", 0);
        const std::string b = sim.takeDue(10000);
        ASSERT_EQ(b.size(), 2000u);
        EXPECT_EQ(heard(b), std::string(2000, '~'));
        if (run == 0)
            first = b;
        else
            EXPECT_EQ(b, first) << "same seed, same garbage";
    }
}

// What reaches the host, and when.
struct Delivery {
    Millis at;
    std::string bytes;
};

// Drives the clock as the event loop does: each host line (or control
// command, "set ...") at its time, and what is due taken at the moment
// nextDue() names, and not before.
std::vector<Delivery> drive(Simulator &sim, const std::vector<std::pair<Millis, std::string>> &sent)
{
    std::vector<Delivery> got;
    size_t next = 0;
    while (next < sent.size() || sim.hasOutput()) {
        if (next < sent.size() && (!sim.hasOutput() || sent[next].first <= sim.nextDue())) {
            const auto &[at, text] = sent[next++];
            if (text.rfind("set ", 0) == 0)
                EXPECT_EQ(sim.control(text, at), "OK") << text;
            else
                sim.receive(text, at);
            continue;
        }
        const Millis at = sim.nextDue();
        EXPECT_EQ(sim.takeDue(at - 1e-3), "") << "before " << at;
        got.push_back({at, sim.takeDue(at)});
        if (got.back().bytes.empty()) {
            ADD_FAILURE() << "nothing came at " << at;
            break;
        }
    }
    return got;
}

// Through a USB serial adapter (10000 baud, a character a millisecond;
// "@06\r" sent at 0 is answered from 6 to 12).  Every byte arrives, in the
// order and with the garbling the wire gave it, no earlier than it crossed
// the wire and no later than a timer period and the jitter after; each
// burst within the jitter after its expiry (or its 62nd byte); a seed gives
// the same deliveries every time.
TEST(Adapter, DeliversWhatTheLineSentInBurstsAtItsTimer)
{
    const struct {
        const char *name;
        double latency, jitter;
        std::vector<std::string> setup;
        std::vector<std::pair<Millis, std::string>> sent;
        std::vector<std::pair<Millis, size_t>> bursts; // when the adapter sends, and how many bytes
        uint64_t counted;                              // bursts= in the stats
    } table[] = {
        {"latency 0: each byte as it crosses the wire, jitter or not",
         0,
         50,
         {},
         {{0, "@06\r"}},
         {{7, 1}, {8, 1}, {9, 1}, {10, 1}, {11, 1}, {12, 1}},
         0},
        {"16 ms: the reply waits for the timer", 16, 0, {}, {{0, "@06\r"}}, {{16, 6}}, 1},
        {"the timer runs free: a reply across an expiry is split there",
         16,
         0,
         {},
         {{5, "@06\r"}},
         {{16, 5}, {32, 1}},
         2},
        {"two replies in one period share a burst", 50, 0, {}, {{0, "@06\r"}, {12, "@07\r"}}, {{50, 12}}, 1},
        {"62 bytes go when the 62nd has crossed, and the timer starts again then",
         255,
         0,
         {"fault 6 babble delay=200 text=AB count=1"},
         {{0, "@06\r"}},
         {{68, 62}, {130, 62}, {192, 62}, {447, 14}},
         4},
        {"a collision on the wire reaches the host garbled, at the adapter's time",
         16,
         0,
         {},
         {{0, "@06\r"}, {8, "#031+05.000\r"}},
         {{16, 6}},
         1},
        {"jitter: each burst 0 to 5 ms after the expiry",
         16,
         5,
         {"fault 6 babble delay=100 text=AB count=1"},
         {{0, "@06\r"}},
         {{16, 10}, {32, 16}, {48, 16}, {64, 16}, {80, 16}, {96, 16}, {112, 10}},
         7},
        {"switched off: what it holds goes at once, the rest as it crosses",
         16,
         0,
         {},
         {{0, "@06\r"}, {9.5, "set line adapter_latency_ms 0"}},
         {{9.5, 3}, {10, 1}, {11, 1}, {12, 1}},
         1},
    };
    for (const auto &t : table) {
        SCOPED_TRACE(t.name);
        // The wire's own times: the same line without an adapter.
        Simulator wire{parsePlant(PLANT, "t"), 3};
        for (const auto &c : t.setup)
            ASSERT_EQ(wire.control(c, 0).substr(0, 2), "OK") << c;
        std::string onWire;
        std::vector<Millis> crossed;
        for (const Delivery &d : drive(wire, t.sent)) {
            onWire += d.bytes;
            crossed.insert(crossed.end(), d.bytes.size(), d.at);
        }

        std::vector<Delivery> first;
        for (int run = 0; run < 2; ++run) {
            Simulator sim{parsePlant(PLANT, "t"), 3};
            sim.setAdapterLatency(t.latency, 0);
            sim.setAdapterJitter(t.jitter);
            for (const auto &c : t.setup)
                ASSERT_EQ(sim.control(c, 0).substr(0, 2), "OK") << c;
            const std::vector<Delivery> got = drive(sim, t.sent);
            if (run == 1) {
                ASSERT_EQ(got.size(), first.size()) << "same seed, same deliveries";
                for (size_t i = 0; i < got.size(); ++i)
                    EXPECT_TRUE(got[i].at == first[i].at && got[i].bytes == first[i].bytes) << "delivery " << i;
                break;
            }
            first = got;
            std::string heard;
            for (const Delivery &d : got) {
                for (size_t i = 0; i < d.bytes.size() && heard.size() + i < crossed.size(); ++i) {
                    const Millis wireTime = crossed[heard.size() + i];
                    EXPECT_GE(d.at, wireTime) << "byte " << heard.size() + i;
                    EXPECT_LE(d.at, wireTime + t.latency + t.jitter + 1e-9) << "byte " << heard.size() + i;
                }
                heard += d.bytes;
            }
            EXPECT_EQ(heard, onWire);
            ASSERT_EQ(got.size(), t.bursts.size());
            bool jittered = false;
            for (size_t i = 0; i < got.size(); ++i) {
                EXPECT_EQ(got[i].bytes.size(), t.bursts[i].second) << "burst " << i;
                EXPECT_GE(got[i].at, t.bursts[i].first) << "burst " << i;
                EXPECT_LE(got[i].at, t.bursts[i].first + (t.latency > 0 ? t.jitter : 0)) << "burst " << i;
                jittered = jittered || got[i].at > t.bursts[i].first + t.jitter / 10;
            }
            EXPECT_EQ(jittered, t.latency > 0 && t.jitter > 0) << "the jitter is drawn";
            EXPECT_EQ(sim.stats().bursts, t.counted);
        }
    }
}

TEST_F(Engine, WatchdogExpiryIsADeadlineForTheEventLoop)
{
    sim.receive("~10316"
                "4" +
                    checksum("~103164") + "\r",
                0); // enable, 10.0 s
    EXPECT_EQ(sim.takeDue(100), "!10" + checksum("!10") + "\r");
    ASSERT_TRUE(sim.nextDeadline());
    EXPECT_NEAR(*sim.nextDeadline(), 10000, 10);
    sim.tick(*sim.nextDeadline());
    EXPECT_EQ(sim.control("get 16 watchdog", 10001), "OK 1 100 1");
    EXPECT_FALSE(sim.nextDeadline());

    // Writes are ignored until the status is reset: ~AA1, `reset A`, or
    // `set A status` without the watchdog bit.
    const std::string w = "@10FFFF" + checksum("@10FFFF") + "\r";
    for (const char *reset : {"", "reset 16", "set 16 status 0"}) {
        SCOPED_TRACE(reset);
        sim.control("set 16 dout 0", 11000);
        if (*reset) {
            sim.control("expire 16", 11000);
            EXPECT_EQ(sim.control(reset, 11000), "OK");
        }
        sim.receive(w, 11000);
        EXPECT_EQ(sim.takeDue(11100), *reset ? ">3E\r" : "!10" + checksum("!10") + "\r");
        EXPECT_EQ(sim.control("get 16 dout", 11100), *reset ? "OK FFFF" : "OK 0000");
        EXPECT_TRUE(sim.nextDeadline() || !*reset) << "the watchdog runs again";
    }
}

} // namespace
