// The exchange that every protocol operation shares: the line on the wire,
// the time-out, reply collection (noise, refusals, pieces, late replies),
// the length and checksum checks, and the purge of a late reply.  Each case
// runs against all seven operations.
#include <functional>

#include "comm.h"
#include "protocol.h"
#include "support.h"

namespace {

constexpr int SENTINEL = 0x5A5A5A5A;

// One protocol operation seen from the wire.  `call` runs it on `addr` and
// sets *wrote when it delivered an output.
struct Op {
    const char *name;
    int addr;            // the address the cases use
    std::string command; // line before the checksum for that address
    std::string good;    // a good reply before its checksum
    enum { DROPPED, START, AT_ONCE, AT_END } bang;
    bool questionAtEnd; // "?" is reported at the carriage return
    ERRCODE crAlone;    // a carriage return alone, without the checksum
    ERRCODE (*call)(int addr, bool *wrote);
};

ERRCODE callReadDIO(int addr, bool *wrote)
{
    int out = SENTINEL;
    ERRCODE ec = readDIO(addr, &out);
    *wrote = out != SENTINEL;
    return ec;
}
ERRCODE callWriteDO(int addr, bool *wrote)
{
    *wrote = false;
    return writeDO(addr, 0x0F, 2);
}
ERRCODE callReadAIN(int addr, bool *wrote)
{
    float v[8];
    for (float &f : v)
        f = -777.0f;
    unsigned mask = 0;
    ERRCODE ec = readAIN(addr, 0, 8, v, &mask);
    *wrote = false;
    for (float f : v)
        *wrote = *wrote || f != -777.0f;
    if (ec != EC_OK && ec != EC_AIN_LENGTH) {
        EXPECT_EQ(mask, 0xFFu) << "a failed read leaves every channel's bit set";
    }
    return ec;
}
ERRCODE callWriteAO(int addr, bool *wrote)
{
    *wrote = false;
    return writeAO(addr, 1, 5.0f);
}
ERRCODE callReadCounter(int addr, bool *wrote)
{
    unsigned out = static_cast<unsigned>(SENTINEL);
    ERRCODE ec = readDICounter(addr, 0, &out);
    *wrote = out != static_cast<unsigned>(SENTINEL);
    return ec;
}
ERRCODE callClearCounter(int addr, bool *wrote)
{
    *wrote = false;
    return clearDICounter(addr, 0);
}
ERRCODE callStatus(int addr, bool *wrote)
{
    int out = SENTINEL;
    ERRCODE ec = HostCmd(0, addr, 0, FALSE, &out);
    *wrote = out != SENTINEL;
    return ec;
}

const std::string AIN8 = ">" + std::string("+05.123+05.123+05.123+05.123+05.123+05.123+05.123+05.123");

// The good replies are chosen so that their checksums hold a letter (the
// "!" replies repeat the address, so clearDICounter's needs address FF).
const Op OPS[] = {
    {"readDIO", 1, "@01", ">00FF", Op::DROPPED, false, EC_BAD_LENGTH, callReadDIO},
    {"writeDO", 1, "@010F", ">", Op::AT_ONCE, false, EC_BAD_LENGTH, callWriteDO},
    {"readAIN", 1, "#01", AIN8, Op::DROPPED, true, EC_AIN_LENGTH, callReadAIN},
    {"writeAO", 1, "#011+05.000", ">", Op::AT_END, true, EC_BAD_LENGTH, callWriteAO},
    {"readDICounter", 1, "#010", "!0100ABC", Op::START, false, EC_BAD_LENGTH, callReadCounter},
    {"clearDICounter", 0xFF, "$FFC0", "!FF", Op::START, false, EC_BAD_LENGTH, callClearCounter},
    {"HostCmd", 1, "~010", "!0104", Op::START, false, EC_BAD_LENGTH, callStatus},
};

// Every case runs with the driven clock at 0, and again just below the
// points where a signed and an unsigned 32-bit timer mark wrap.
struct OpAt : Op {
    int64_t clock0;
};

std::vector<OpAt> startingAt(int64_t clock0)
{
    std::vector<OpAt> v;
    for (const Op &op : OPS)
        v.push_back({op, clock0});
    return v;
}

bool delivers(const Op &op)
{
    return op.call == callReadDIO || op.call == callReadAIN || op.call == callReadCounter || op.call == callStatus;
}

class ProtocolExchange : public ModuleTest, public ::testing::WithParamInterface<OpAt> {
protected:
    void SetUp() override
    {
        ModuleTest::SetUp();
        hostsvc::advance(GetParam().clock0 - hostsvc::nowMs());
        timeout = 500; // room for the longest replies at one character a poll
        hostsvc::resetCounters();
    }
    ERRCODE run() { return run(GetParam().addr); }
    ERRCODE run(int addr)
    {
        bool wrote = false;
        ERRCODE ec = GetParam().call(addr, &wrote);
        bool shouldWrite = delivers(GetParam()) && (ec == EC_OK || ec == EC_AIN_LENGTH);
        EXPECT_EQ(wrote, shouldWrite) << "outputs are written on success only";
        return ec;
    }
    std::string withSum(const std::string &text) { return text + t::sum(text); }
};

// ---------------------------------------------------------------------------
// The time-out.  With the virtual clock every timer poll is one millisecond:
// an exchange may poll the timer `timeout` times and no more.

TEST_P(ProtocolExchange, SilenceTimesOutAfterExactlyTheTimeOut)
{
    for (uint32_t ms : {5u, 40u, 500u}) {
        SCOPED_TRACE(ms);
        t::quietLine();
        timeout = ms;
        hostsvc::resetCounters();
        int32_t polls0 = scommRcvqueuePolls();
        t::silence();
        EXPECT_EQ(run(), EC_TIMEOUT);
        EXPECT_EQ(hostsvc::counters().timerSets, 1);
        EXPECT_EQ(hostsvc::counters().lastPeriod, static_cast<int32_t>(ms));
        EXPECT_EQ(hostsvc::counters().timerPolls, static_cast<long>(ms));
        // The timer is tested first in every pass: the expiring pass does
        // not look at the receive queue.
        EXPECT_EQ(scommRcvqueuePolls() - polls0, static_cast<int32_t>(ms) - 1);
    }
    EXPECT_EQ(t::console(), "");
}

TEST_P(ProtocolExchange, ReplyCompletingAtTheTimeOutIsTooLate)
{
    timeout = 100;
    std::string line = GetParam().good + "\r";
    int32_t len = static_cast<int32_t>(line.size());
    // Each pass takes one character; the pass that would take the carriage
    // return of a reply due one poll later is the expiring one.
    int32_t lastDue = static_cast<int32_t>(timeout) - 1 - len;
    struct {
        int32_t due;
        ERRCODE code;
    } cases[] = {{lastDue, EC_OK}, {lastDue + 1, EC_TIMEOUT}, {lastDue + 50, EC_TIMEOUT}, {100000, EC_TIMEOUT}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.due);
        t::quietLine();
        hostsvc::resetCounters();
        t::reply(line, c.due);
        EXPECT_EQ(run(), c.code);
        EXPECT_LE(hostsvc::counters().timerPolls, static_cast<long>(timeout));
    }
}

TEST_P(ProtocolExchange, TimeOutWinsOverCharactersAlreadyWaiting)
{
    timeout = 100;
    std::string line = GetParam().good + "\r";
    // Noise and reply all waiting at once: the reply needs one pass per
    // character, and the time-out is tested before the queue.
    size_t fits = timeout - 1 - line.size();
    t::reply(std::string(fits, 'x') + line);
    EXPECT_EQ(run(), EC_OK);
    t::reply(std::string(fits + 1, 'x') + line);
    EXPECT_EQ(run(), EC_TIMEOUT);
    EXPECT_EQ(scommRxWaiting(), 1); // the carriage return was never taken
}

TEST_P(ProtocolExchange, RefusalWithoutCarriageReturn)
{
    // Noted for the end of the line, a refusal still costs the whole
    // time-out when no carriage return comes; reported at once, one pass.
    bool atEnd = GetParam().questionAtEnd;
    timeout = 40;
    t::reply("?xx");
    EXPECT_EQ(run(), atEnd ? EC_TIMEOUT : EC_REFUSED);
    EXPECT_EQ(hostsvc::counters().timerPolls, atEnd ? 40 : 1);
}

// ---------------------------------------------------------------------------
// The line on the wire.

TEST_P(ProtocolExchange, WireBytesForAddressesAndChecksum)
{
    const Op &op = GetParam();
    struct {
        int addr;
        const char *hex;
    } addrs[] = {{0, "00"}, {10, "0A"}, {255, "FF"}, {0x10A, "0A"}, {-1, "FF"}};
    for (BOOL cs : {FALSE, TRUE}) {
        useCheckSum = cs;
        for (const auto &a : addrs) {
            SCOPED_TRACE(std::string(cs ? "checksum " : "plain ") + a.hex);
            std::string line = op.command;
            line.replace(1, 2, a.hex);
            if (cs)
                line += t::sum(line);
            t::silence();
            scommClearLog();
            run(a.addr);
            EXPECT_EQ(t::lastWrite(), line + "\r");
            // Both queues are emptied, transmit first, before the write.
            std::string log = t::commLog();
            EXPECT_EQ(log.substr(0, log.find("write")), "xmitclear 1\nrcvclear 1\n");
        }
    }
}

TEST_P(ProtocolExchange, WriteRefusedBySerialLibraryGives1010AndReceivesNothing)
{
    scommSetWriteResult(0);
    t::reply(GetParam().good + "\r");
    EXPECT_EQ(run(), EC_WRITE_FAILED);
    EXPECT_EQ(hostsvc::counters().timerSets, 0);
    EXPECT_EQ(scommRcvqueuePolls(), 0);
    EXPECT_EQ(scommGetcCalls(), 0);
}

// ---------------------------------------------------------------------------
// Reply collection.

TEST_P(ProtocolExchange, ReplyArrivalAndNoise)
{
    const Op &op = GetParam();
    const std::string &g = op.good;
    auto part = [&g](size_t from, size_t n = std::string::npos) {
        return from < g.size() ? g.substr(from, n) : std::string();
    };
    std::string noise = "xy\x01\x7F\xFF";
    if (op.bang != Op::START)
        noise += "<"; // noise that is no start character either
    struct Case {
        const char *what;
        std::vector<std::pair<int32_t, std::string>> pieces;
        ERRCODE code;
    } cases[] = {
        {"at once", {{0, g + "\r"}}, EC_OK},
        {"late", {{300, g + "\r"}}, EC_OK},
        {"in pieces", {{0, part(0, 1)}, {30, part(1)}, {90, "\r"}}, EC_OK},
        {"one by one", {{3, part(0, 1)}, {9, part(1, 1)}, {12, part(2)}, {20, "\r"}}, EC_OK},
        {"noise first", {{0, noise}, {5, g + "\r"}}, EC_OK},
        {"carriage return in the noise", {{0, "x\r"}, {1, g + "\r"}}, op.crAlone},
        {"carriage return alone", {{0, "\r"}}, op.crAlone},
        {"never ends", {{0, g}}, EC_TIMEOUT},
        {"one character too many", {{0, g + "0\r"}}, op.call == callReadAIN ? EC_AIN_LENGTH : EC_BAD_LENGTH},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        t::replyPieces(c.pieces);
        EXPECT_EQ(run(), c.code);
    }
    EXPECT_EQ(t::console(), ""); // no trace without the debug option
}

TEST_P(ProtocolExchange, CharactersAfterTheCarriageReturnStayUntilTheNextExchangePurgesThem)
{
    const Op &op = GetParam();
    t::reply("\r" + op.good + "\r");
    EXPECT_EQ(run(), op.crAlone);
    EXPECT_EQ(scommRxWaiting(), static_cast<int32_t>(op.good.size() + 1));
    // The next exchange empties the queue before it sends, so the left-over
    // reply is not taken for its own.
    t::silence();
    EXPECT_EQ(run(), EC_TIMEOUT);
}

TEST_P(ProtocolExchange, LateReplyLeftInTheQueueIsPurged)
{
    const Op &op = GetParam();
    timeout = 40;
    t::silence();
    EXPECT_EQ(run(), EC_TIMEOUT);
    // The late reply turns up between the two exchanges: a refusal, so that
    // taking it would change the result.
    std::string late = "?" + op.good + "\r";
    scommInject(late.data(), static_cast<int32_t>(late.size()));
    timeout = 500;
    t::reply(op.good + "\r", 5);
    EXPECT_EQ(run(), EC_OK);
    EXPECT_EQ(scommRxWaiting(), 0);
}

TEST_P(ProtocolExchange, RefusalCharacters)
{
    const Op &op = GetParam();
    const std::string &g = op.good;
    ERRCODE q = EC_REFUSED;
    struct Case {
        std::string reply;
        ERRCODE code;
        bool applies;
    } cases[] = {
        // "?" before the start character: at once, or noted for the end of
        // the line, where it wins over a reply that follows.
        {"?", op.questionAtEnd ? EC_TIMEOUT : q, true},
        {"?\r", q, true},
        {"x?" + g + "\r", q, true},
        {"?" + g + "?\r", q, true},
        // "!" before ">": dropped, a refusal at once or at the end of the line.
        {"!" + g + "\r", EC_OK, op.bang == Op::DROPPED},
        {"!", EC_BANG, op.bang == Op::AT_ONCE},
        {"!\r", EC_BANG, op.bang == Op::AT_END},
        {"!" + g + "\r", EC_BANG, op.bang == Op::AT_END},
        {"!", EC_TIMEOUT, op.bang == Op::AT_END},
        // A later refusal replaces an earlier one.
        {"?!\r", EC_BANG, op.bang == Op::AT_END},
        {"!?\r", q, op.bang == Op::AT_END},
        {"?x!x" + g + "\r", EC_BANG, op.bang == Op::AT_END},
        // For the "!" replies a ">" before the start is noise.
        {">" + g + "\r", EC_OK, op.bang == Op::START},
        {">>" + g + "\r", EC_OK, op.bang == Op::START},
    };
    for (const Case &c : cases) {
        if (!c.applies)
            continue;
        SCOPED_TRACE(c.reply);
        t::quietLine();
        timeout = 100;
        int32_t getc0 = scommGetcCalls();
        t::reply(c.reply);
        EXPECT_EQ(run(), c.code);
        int32_t taken = scommGetcCalls() - getc0;
        bool atOnce = (c.reply[0] == '?' && !op.questionAtEnd) || (c.reply[0] == '!' && op.bang == Op::AT_ONCE);
        if (atOnce) {
            EXPECT_EQ(taken, 1) << "refused at once, nothing more read";
        }
    }
}

// A reply of 80 characters is the longest the collection stores; the 81st
// fails before the carriage return (which then stays in the queue).
TEST_P(ProtocolExchange, EightyOneCharactersOverflow)
{
    const Op &op = GetParam();
    std::string line81 = op.good + std::string(81 - op.good.size(), '0');
    t::reply(line81 + "\r");
    EXPECT_EQ(run(), EC_BAD_LENGTH);
    EXPECT_EQ(scommRxWaiting(), 1);
    // With a noted refusal waiting for the end of the line the overflow wins.
    if (op.questionAtEnd) {
        t::quietLine();
        t::reply("?" + line81 + "\r");
        EXPECT_EQ(run(), EC_BAD_LENGTH);
    }
    // 80 characters are collected to the carriage return (the operation's
    // length rule then decides).
    std::string line80 = line81.substr(0, 80);
    t::quietLine();
    int32_t getc0 = scommGetcCalls();
    t::reply(line80 + "\r");
    run();
    EXPECT_EQ(scommGetcCalls() - getc0, 81);
    EXPECT_EQ(scommRxWaiting(), 0);
}

TEST_P(ProtocolExchange, Checksums)
{
    const Op &op = GetParam();
    useCheckSum = TRUE;
    std::string right = t::sum(op.good);
    std::string lower = right;
    for (char &c : lower)
        c = static_cast<char>(tolower(c));
    ASSERT_NE(lower, right) << "the good reply's checksum should hold a letter";
    std::string highWrong = right;
    highWrong[0] = highWrong[0] == '0' ? '1' : '0';
    std::string lowWrong = right;
    lowWrong[1] = lowWrong[1] == '0' ? '1' : '0';
    struct Case {
        std::string reply;
        ERRCODE code;
    } cases[] = {
        {op.good + right, EC_OK},
        {op.good + lower, EC_BAD_CHECKSUM},
        {op.good + highWrong, EC_BAD_CHECKSUM},
        {op.good + lowWrong, EC_BAD_CHECKSUM},
        // The reply without its checksum has the wrong length (readAIN takes
        // its last two characters for the checksum).
        {op.good, op.call == callReadAIN ? EC_BAD_CHECKSUM : EC_BAD_LENGTH},
        {"", EC_BAD_LENGTH},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reply);
        t::reply(c.reply + "\r");
        EXPECT_EQ(run(), c.code);
    }
    EXPECT_EQ(t::console(), "");
}

// ---------------------------------------------------------------------------
// Line discipline.  An exchange that gave up before its reply's carriage
// return leaves characters on their way; the next exchange first reads and
// drops them, until that carriage return, a quiet interval (three character
// times, at least 2 ms, plus LATENCY) or its cap (its own time-out, the quiet
// interval and 81 character times), and only then empties the queues and
// sends.

// Characters that arrive one per receive poll from `firstDue` on.
void trickle(const std::string &text, int32_t firstDue)
{
    std::vector<int32_t> due(text.size());
    for (size_t i = 0; i < text.size(); ++i)
        due[i] = firstDue + static_cast<int32_t>(i);
    scommQueueReply(text.data(), static_cast<int32_t>(text.size()), due.data());
}

TEST_P(ProtocolExchange, NextCommandWaitsForTheLineToSettle)
{
    const Op &op = GetParam();
    const std::string &g = op.good;
    const int32_t goodLen = static_cast<int32_t>(g.size());
    const bool questionAtOnce = !op.questionAtEnd;
    const std::string line81 = g + std::string(81 - g.size(), '0') + "\r";
    const int32_t lead = 1; // the first burst: the start character
    struct Case {
        const char *what;
        uint32_t lat;                // LATENCY
        uint32_t tmo;                // of the first exchange
        std::function<void()> first; // its reply
        ERRCODE code;                // of the first exchange
        int32_t dropped;             // characters read and dropped while settling
        int32_t polls;               // timer polls while settling
    } cases[] = {
        // The time-out strikes after the start character: the rest, one
        // character a poll, is read to its carriage return.
        {"time-out mid-reply", 0, 40, [&] { trickle(g + "\r", 38); }, EC_TIMEOUT, goodLen, goodLen},
        {"refusal", 0, 40, [] { trickle("?01\r", 0); }, EC_REFUSED, questionAtOnce ? 3 : 0, questionAtOnce ? 3 : 0},
        {"81 characters", 0, 100, [&] { t::reply(line81); }, EC_BAD_LENGTH, 1, 1},
        // A module that babbles on: the wait lasts the next exchange's
        // time-out (100 ms), the quiet interval (2 ms) and 81 character
        // times at 19200 baud (43 ms), no longer.
        {"babble", 0, 40, [] { trickle(std::string(1000, 'x'), 0); }, EC_TIMEOUT, 144, 145},
        {"babble, latency 20", 20, 40, [] { trickle(std::string(1000, 'x'), 0); }, EC_TIMEOUT, 164, 165},
        // Nothing arrives: one quiet interval, two polls of 1 ms a pass.
        {"silence", 0, 40, [] { t::silence(); }, EC_TIMEOUT, 0, 2},
        {"silence, latency 20", 20, 40, [] { t::silence(); }, EC_TIMEOUT, 0, 22},
        {"silence, latency 255", 255, 40, [] { t::silence(); }, EC_TIMEOUT, 0, 258},
        // A serial adapter hands the rest of the reply over 18 ms (nine
        // empty passes) after the first burst: within the quiet interval of
        // LATENCY=20, so it is read and dropped, not left for the next reply.
        {"adapter burst after 18 ms", 20, 40,
         [&] {
             t::replyPieces({{38, g.substr(0, lead)}, {40 + 8, g.substr(lead) + "\r"}});
         },
         EC_TIMEOUT, goodLen, 18 + goodLen},
        // A complete reply leaves nothing to wait for.
        {"good reply", 0, 100, [&] { t::reply(g + "\r"); }, EC_OK, 0, 0},
        {"good reply, latency 20", 20, 100, [&] { t::reply(g + "\r"); }, EC_OK, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        latency = c.lat;
        t::quietLine();
        timeout = c.tmo;
        c.first();
        hostsvc::resetCounters();
        ASSERT_EQ(run(), c.code);
        EXPECT_EQ(lineSettled, c.code == EC_OK || (c.code == EC_REFUSED && !questionAtOnce) ? TRUE : FALSE);

        // The next exchange gets its reply at once: one pass per character.
        timeout = 100;
        t::reply(g + "\r");
        hostsvc::resetCounters();
        scommClearLog();
        int32_t getc0 = scommGetcCalls();
        EXPECT_EQ(run(), EC_OK);
        EXPECT_EQ(scommGetcCalls() - getc0, c.dropped + goodLen + 1);
        EXPECT_EQ(hostsvc::counters().timerPolls, c.polls + goodLen + 1);
        EXPECT_EQ(scommPending(), 0) << "the stale characters were all read before the write";
        std::string log = t::commLog();
        EXPECT_EQ(log.substr(0, log.find("write")), "xmitclear 1\nrcvclear 1\n");
        EXPECT_TRUE(lineSettled);
    }
}

// Only an exchange that sent its line changes the state of the line.
TEST_P(ProtocolExchange, NothingSentLeavesTheLineAsItWas)
{
    timeout = 40;
    latency = 0;
    t::silence();
    ASSERT_EQ(run(), EC_TIMEOUT);
    scommSetWriteResult(0);
    hostsvc::resetCounters();
    EXPECT_EQ(run(), EC_WRITE_FAILED);
    EXPECT_EQ(hostsvc::counters().timerPolls, 2) << "settled first, then the write was refused";
    EXPECT_TRUE(lineSettled);
    EXPECT_EQ(writeDO(1, 0, 5), EC_BAD_WIDTH);
    EXPECT_TRUE(lineSettled);
}

std::string opName(const ::testing::TestParamInfo<OpAt> &info) { return info.param.name; }
INSTANTIATE_TEST_SUITE_P(AllOperations, ProtocolExchange, ::testing::ValuesIn(startingAt(0)), opName);
INSTANTIATE_TEST_SUITE_P(ClockNearSignedWrap, ProtocolExchange, ::testing::ValuesIn(startingAt(0x7FFFFFFFLL - 3)),
                         opName);
INSTANTIATE_TEST_SUITE_P(ClockNearUnsignedWrap, ProtocolExchange, ::testing::ValuesIn(startingAt(0xFFFFFFFFLL - 3)),
                         opName);

// ---------------------------------------------------------------------------
// Lines from the protocol's own examples.

class ProtocolLines : public ModuleTest {};

TEST_F(ProtocolLines, ExampleLines)
{
    struct Case {
        BOOL checksum;
        std::function<void()> call;
        const char *line;
    } cases[] = {
        {FALSE,
         [] {
             float v[8];
             unsigned m;
             readAIN(1, 0, 8, v, &m);
         },
         "#01\r"},
        {TRUE,
         [] {
             float v[8];
             unsigned m;
             readAIN(1, 0, 8, v, &m);
         },
         "#0184\r"},
        {FALSE,
         [] {
             float v[8];
             unsigned m;
             readAIN(3, 0, 8, v, &m);
         },
         "#03\r"},
        {TRUE,
         [] {
             float v[8];
             unsigned m;
             readAIN(3, 0, 8, v, &m);
         },
         "#0386\r"},
        {FALSE,
         [] {
             int r;
             readDIO(5, &r);
         },
         "@05\r"},
        {TRUE,
         [] {
             int r;
             readDIO(5, &r);
         },
         "@05A5\r"},
        {FALSE, [] { writeDO(10, 0x0F, 2); }, "@0A0F\r"},
        {FALSE, [] { writeDO(10, 0x0F, 4); }, "@0A000F\r"},
        {FALSE, [] { writeDO(1, 0x1F, 1); }, "@01F\r"},
        {FALSE,
         [] {
             unsigned r;
             readDICounter(1, 0, &r);
         },
         "#010\r"},
        {FALSE, [] { clearDICounter(1, 0); }, "$01C0\r"},
        {TRUE, [] { clearDICounter(1, 0); }, "$01C0F8\r"},
        {FALSE, [] { writeAO(2, 1, 5.0f); }, "#021+05.000\r"},
        {TRUE, [] { writeAO(2, 1, 5.0f); }, "#021+05.00004\r"},
        {FALSE,
         [] {
             int r;
             HostCmd(0, 1, 0, FALSE, &r);
         },
         "~010\r"},
        {TRUE,
         [] {
             int r;
             HostCmd(0, 1, 0, FALSE, &r);
         },
         "~0100F\r"},
        {FALSE, [] { HostCmd(3, 1, 100, TRUE, nullptr); }, "~013164\r"},
        {TRUE, [] { HostCmd(3, 1, 100, TRUE, nullptr); }, "~013164AD\r"},
    };
    timeout = 5;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        useCheckSum = c.checksum;
        t::silence();
        c.call();
        EXPECT_EQ(t::lastWrite(), c.line);
    }
}

} // namespace

namespace {

// The quiet interval is three character times at the line's speed, never
// less than 2 ms, plus LATENCY; the virtual clock moves 1 ms a timer poll
// and an empty pass polls twice.
TEST_F(ProtocolLines, QuietIntervalFollowsTheBaudRate)
{
    struct Case {
        int32_t baud;
        uint32_t lat;
        int64_t quietMs;
        int32_t read; // of three characters one empty pass (2 ms) apart
    } cases[] = {
        {9600, 0, 4, 3},    {19200, 0, 2, 1},  {38400, 0, 2, 1},  {57600, 0, 2, 1},      {115200, 0, 2, 1},
        {19200, 20, 22, 3}, {9600, 20, 24, 3}, {115200, 1, 4, 3}, {115200, 255, 258, 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.baud) + " baud, latency " + std::to_string(c.lat));
        t::silence();
        _COMwrite(port, "x", 1); // drops what the last case left on its way
        _COMrcvclear(port);
        BaudRate = c.baud;
        latency = c.lat;
        timeout = 40;
        lineSettled = FALSE;
        int64_t t0 = hostsvc::nowMs();
        settleLine();
        EXPECT_EQ(hostsvc::nowMs() - t0, c.quietMs);
        EXPECT_TRUE(lineSettled);

        // Characters one empty pass (2 ms) apart keep the wait going where
        // the quiet interval is longer than 2 ms; at the faster speeds
        // without a latency the gap already counts as quiet.
        lineSettled = FALSE;
        t::replyPieces({{0, "a"}, {2, "b"}, {4, "\r"}});
        _COMwrite(port, "x", 1); // starts the script
        int32_t getc0 = scommGetcCalls();
        settleLine();
        EXPECT_EQ(scommGetcCalls() - getc0, c.read);
    }
}

// A module that was still sending goes on whatever the port does: Init (here
// at another speed, as a survey does from one setting to the next) leaves the
// line as it was.  After an exchange that gave up early, the first line after
// Init reads what is still arriving to its carriage return, or waits for a
// quiet interval at the new speed; a line that was never unsettled makes
// exactly the calls it made before.
TEST_F(ProtocolLines, InitLeavesTheLineAsItWas)
{
    struct Case {
        const char *what;
        std::function<void()> first; // an exchange before the Init; null: none
        int32_t dropped;             // characters read and dropped before the line went out
        int64_t waitMs;              // virtual time from the call to its line going out
    } cases[] = {
        // "?" at once while "05" and the carriage return are on their way.
        {"refused at once",
         [] {
             trickle("?05\r", 0);
             int r;
             ASSERT_EQ(readDIO(5, &r), EC_REFUSED);
         },
         3, 3},
        // Nothing arrives: one quiet interval at 9600 baud, 4 ms.
        {"silent",
         [] {
             t::silence();
             int r;
             ASSERT_EQ(readDIO(5, &r), EC_TIMEOUT);
         },
         0, 4},
        {"good reply",
         [] {
             t::reply(">00FF\r");
             int r;
             ASSERT_EQ(readDIO(5, &r), EC_OK);
         },
         0, 0},
        {"nothing sent before", nullptr, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        t::freshModule();
        ASSERT_EQ(t::init("TIMEOUT=40 LATENCY=0"), EC_OK);
        t::setMode(2);
        if (c.first)
            c.first();
        ASSERT_EQ(t::init("BAUD=96 TIMEOUT=40"), EC_OK);
        scommClearLog();
        hostsvc::resetCounters();
        t::reply(">1234\r");
        int32_t getc0 = scommGetcCalls();
        int64_t t0 = hostsvc::nowMs();
        int r = 0;
        EXPECT_EQ(readDIO(1, &r), EC_OK);
        EXPECT_EQ(r, 0x1234);
        EXPECT_EQ(scommGetcCalls() - getc0, c.dropped + 6);
        // Six passes of one poll each collect the reply.
        EXPECT_EQ(hostsvc::nowMs() - t0, c.waitMs + 6);
        if (c.dropped + c.waitMs == 0) {
            EXPECT_EQ(hostsvc::counters().timerSets, 1) << "only the exchange's own time-out";
        }
        std::string log = t::commLog();
        EXPECT_EQ(log.substr(0, log.find("write")), "xmitclear 1\nrcvclear 1\n");
    }
}

// A settled line costs nothing: no timer, no serial call.
TEST_F(ProtocolLines, SettledLineMakesNoCalls)
{
    settleLine();
    EXPECT_EQ(hostsvc::counters().timerSets + hostsvc::counters().timerPolls, 0);
    EXPECT_EQ(scommRcvqueuePolls(), 0);
}

} // namespace

namespace {

// The collection of one reply, character by character, without a port or
// a clock: each character's outcome as a letter (D dropped, S start,
// s stored, N refusal noted, R refused at once, O overflow, E end of line),
// fed until the step ends the reply.
TEST(CollectChar, EachCharacterOfAReply)
{
    const std::string long80 = ">" + std::string(79, 'x');
    struct Case {
        Operation op;
        std::string input;
        std::string steps;
        std::string stored;
        ERRCODE noted;
    } cases[] = {
        {OP_READ_DIO, "x>00FF\r", "DSssssE", ">00FF", EC_OK},
        {OP_READ_DIO, "?>00FF\r", "R", "", EC_REFUSED},
        {OP_READ_DIO, "!<>1\r", "DDSsE", ">1", EC_OK},
        {OP_READ_DIO, ">?!>\r", "SsssE", ">?!>", EC_OK}, // after the start, all is data
        {OP_READ_DIO, "\r", "E", "", EC_OK},
        {OP_WRITE_DO, "!", "R", "", EC_BANG},
        {OP_WRITE_DO, "x?", "DR", "", EC_REFUSED},
        {OP_READ_AIN, "?x!>1?\r", "NDDSssE", ">1?", EC_REFUSED},
        {OP_WRITE_AO, "?!>\r", "NNSE", ">", EC_BANG}, // a later refusal replaces an earlier one
        {OP_WRITE_AO, "!?\r", "NNE", "", EC_REFUSED},
        {OP_READ_COUNTER, ">!01\r", "DSssE", "!01", EC_OK},
        {OP_CLEAR_COUNTER, "?!01\r", "R", "", EC_REFUSED},
        {OP_HOST_CMD, ">>!0104\r", "DDSssssE", "!0104", EC_OK},
        {OP_READ_DIO, long80 + "\r", "S" + std::string(79, 's') + "E", long80, EC_OK},
        {OP_READ_DIO, long80 + "yy\r", "S" + std::string(79, 's') + "O", long80 + "y", EC_OK},
    };
    const char letters[] = {'D', 'S', 's', 'N', 'R', 'O', 'E'};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.op) + " " + c.input.substr(0, 12));
        ReplyState reply = {false, 0, EC_OK};
        std::string steps;
        for (char ch : c.input) {
            Collected what = collectChar(c.op, &reply, din, ch);
            steps += letters[what];
            if (what == COLLECT_END || what == COLLECT_REFUSED || what == COLLECT_OVERFLOW)
                break;
        }
        EXPECT_EQ(steps, c.steps);
        EXPECT_EQ(std::string(din, static_cast<size_t>(reply.pos)), c.stored);
        EXPECT_EQ(reply.noted, c.noted);
    }
}

} // namespace
