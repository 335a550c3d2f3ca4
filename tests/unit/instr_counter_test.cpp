// The counter, status and watchdog instructions (I7RDC, I7CDC, I7RSMS,
// I7RDMS, I7SHWV) and the host-OK broadcast I7HOK.
#include "support.h"

namespace {

constexpr int16_t GUARD = 0x5A5A;
constexpr float FGUARD = -123.25f;

class Counter : public ModuleTest, public ::testing::WithParamInterface<bool> {
protected:
    const char *options() override { return GetParam() ? "CHECKSUM DEBUG" : "DEBUG"; }
    bool cs() const { return GetParam(); }

    // Queues the replies: "" = none; "noise|body" = noise, then the framed body.
    void script(const std::vector<std::string> &replies)
    {
        for (const std::string &r : replies) {
            size_t bar = r.find('|');
            if (r.empty())
                t::silence();
            else if (bar != std::string::npos)
                t::reply(r.substr(0, bar) + t::framed(r.substr(bar + 1), cs()));
            else
                t::reply(t::framed(r, cs()));
        }
    }
    std::vector<std::string> lines(const char *sent)
    {
        if (!sent)
            return {};
        return {t::framed(sent, cs())};
    }
    void expectTrace(ERRCODE ec, int addr, const std::string &console)
    {
        std::string want = ec == EC_OK ? "" : "\n addr=" + std::to_string(addr) + "  ec=" + std::to_string(ec);
        EXPECT_EQ(console, want);
    }
};

// ---------------------------------------------------------------------------
// I7RDC, with a word and with a float "Count:".

struct RdcCase {
    int16_t addr, chan;
    const char *reply; // body; "" = no reply; null = nothing sent
    const char *sent;
    ERRCODE ec;
    int32_t count; // on success
};

const RdcCase RDC_CASES[] = {
    {256, 16, nullptr, nullptr, EC_BAD_ADDRESS, 0}, {5, 16, nullptr, nullptr, EC_BAD_CHANNEL, 0},
    {5, -1, nullptr, nullptr, EC_BAD_CHANNEL, 0},   {5, 15, "!0500123", "#05F", EC_OK, 0x123},
    {1, 0, "!0111170", "#010", EC_OK, 70000},       {1, 0, "!01FFFFF", "#010", EC_OK, 0xFFFFF},
    {1, 0, ">|!0100001", "#010", EC_OK, 1}, // ">" before the start is dropped
    {1, 0, "!01001G3", "#010", EC_BAD_LENGTH, 0},   {1, 0, "!011117", "#010", EC_BAD_LENGTH, 0},
    {1, 0, "?01", "#010", EC_REFUSED, 0},           {1, 0, "", "#010", EC_TIMEOUT, 0},
};

TEST_P(Counter, ReadCounter)
{
    for (bool isfloat : {false, true}) {
        for (const RdcCase &c : RDC_CASES) {
            SCOPED_TRACE(std::string(isfloat ? "float " : "word ") + std::to_string(c.addr) + "/" +
                         std::to_string(c.chan) + " " + (c.reply ? c.reply : "-"));
            int16_t w = GUARD, err = GUARD;
            float f = FGUARD;
            TLIPARAM p[4] = {t::wordIn(c.addr), t::wordIn(c.chan), isfloat ? t::floatOut(&f) : t::wordOut(&w),
                             t::wordOut(&err)};
            if (c.reply)
                script({c.reply});
            EXPECT_EQ(I7RDC(1, 4, p), FALSE);
            EXPECT_EQ(t::writes(), lines(c.sent));
            EXPECT_EQ(err, static_cast<int16_t>(c.ec));
            bool ok = c.ec == EC_OK;
            EXPECT_EQ(w, ok && !isfloat ? static_cast<int16_t>(c.count & 0xFFFF) : GUARD);
            EXPECT_EQ(f, ok && isfloat ? static_cast<float>(c.count) : FGUARD);
            expectTrace(c.ec, c.addr, t::console());
            scommReset();
        }
    }
}

// ---------------------------------------------------------------------------
// The instructions without a result besides "ErrCode:" (and I7RDMS).

struct CmdCase {
    const char *what;
    TLIPTR fn;
    int16_t addr, second; // "Chan:" or "HSecs:" where there is one
    const char *reply;    // body; "" = no reply; null = nothing sent
    const char *sent;
    ERRCODE ec;
};

const CmdCase CMD_CASES[] = {
    {"I7CDC", I7CDC, 300, 16, nullptr, nullptr, EC_BAD_ADDRESS},
    {"I7CDC", I7CDC, 1, 16, nullptr, nullptr, EC_BAD_CHANNEL},
    {"I7CDC", I7CDC, 1, -1, nullptr, nullptr, EC_BAD_CHANNEL},
    {"I7CDC", I7CDC, 1, 0, "!01", "$01C0", EC_OK},
    {"I7CDC", I7CDC, 255, 15, ">|!FF", "$FFCF", EC_OK},
    {"I7CDC", I7CDC, 1, 0, ">01", "$01C0", EC_BAD_LENGTH},
    {"I7CDC", I7CDC, 1, 0, "?", "$01C0", EC_REFUSED},
    {"I7RSMS", I7RSMS, -1, 0, nullptr, nullptr, EC_BAD_ADDRESS},
    {"I7RSMS", I7RSMS, 5, 0, "!05", "~051", EC_OK},
    {"I7RSMS", I7RSMS, 5, 0, "!0500", "~051", EC_BAD_LENGTH},
    {"I7RSMS", I7RSMS, 5, 0, "", "~051", EC_TIMEOUT},
    {"I7SHWV", I7SHWV, 300, 300, nullptr, nullptr, EC_BAD_ADDRESS},
    {"I7SHWV", I7SHWV, 1, 256, nullptr, nullptr, EC_BAD_HSECS},
    {"I7SHWV", I7SHWV, 1, -1, nullptr, nullptr, EC_BAD_HSECS},
    {"I7SHWV", I7SHWV, 1, 100, "!01", "~013164", EC_OK},
    {"I7SHWV", I7SHWV, 1, 255, "!01", "~0131FF", EC_OK},
    {"I7SHWV", I7SHWV, 1, 0, "!01", "~013100", EC_OK},
    {"I7SHWV", I7SHWV, 1, 0, "!0100", "~013100", EC_BAD_LENGTH},
};

TEST_P(Counter, CommandsWithoutResult)
{
    for (const CmdCase &c : CMD_CASES) {
        SCOPED_TRACE(std::string(c.what) + " " + std::to_string(c.addr) + "/" + std::to_string(c.second));
        int16_t err = GUARD;
        std::vector<TLIPARAM> p = {t::wordIn(c.addr)};
        if (c.fn != I7RSMS)
            p.push_back(t::wordIn(c.second));
        p.push_back(t::wordOut(&err));
        if (c.reply)
            script({c.reply});
        EXPECT_EQ(c.fn(1, static_cast<int32_t>(p.size()), p.data()), FALSE);
        EXPECT_EQ(t::writes(), lines(c.sent));
        EXPECT_EQ(err, static_cast<int16_t>(c.ec));
        expectTrace(c.ec, c.addr, t::console());
        scommReset();
    }
}

TEST_P(Counter, ReadModuleStatus)
{
    struct Case {
        int16_t addr;
        const char *reply;
        ERRCODE ec;
        int16_t status;
    } cases[] = {
        {256, nullptr, EC_BAD_ADDRESS, GUARD},
        {1, "!0104", EC_OK, 4},
        {1, "!01FF", EC_OK, 255},
        {1, ">|!0180", EC_OK, 0x80},
        {1, "!01", EC_BAD_LENGTH, GUARD},
        {1, "!014G", EC_BAD_LENGTH, GUARD}, // no hex status byte
        {1, "?", EC_REFUSED, GUARD},
        {1, "", EC_TIMEOUT, GUARD},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reply ? c.reply : "-");
        int16_t status = GUARD, err = GUARD;
        TLIPARAM p[3] = {t::wordIn(c.addr), t::wordOut(&status), t::wordOut(&err)};
        if (c.reply)
            script({c.reply});
        I7RDMS(1, 3, p);
        EXPECT_EQ(t::writes(), lines(c.reply ? "~010" : nullptr));
        EXPECT_EQ(err, static_cast<int16_t>(c.ec));
        EXPECT_EQ(status, c.status);
        expectTrace(c.ec, c.addr, t::console());
        scommReset();
    }
}

INSTANTIATE_TEST_SUITE_P(Checksum, Counter, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &i) { return i.param ? "On" : "Off"; });

// Checksums on: lines with their checksums written out.
class CounterChecksumLines : public ModuleTest {
protected:
    const char *options() override { return "CHECKSUM"; }
};

TEST_F(CounterChecksumLines, WrongChecksumLeavesResultsUntouched)
{
    int16_t status = GUARD, err = GUARD;
    TLIPARAM p[3] = {t::wordIn(1), t::wordOut(&status), t::wordOut(&err)};
    t::reply("!0104e6\r"); // right digits, lower case
    I7RDMS(1, 3, p);
    EXPECT_EQ(err, static_cast<int16_t>(EC_BAD_CHECKSUM));
    EXPECT_EQ(status, GUARD);

    float f = FGUARD;
    TLIPARAM q[4] = {t::wordIn(1), t::wordIn(0), t::floatOut(&f), t::wordOut(&err)};
    t::reply("!010012300\r");
    I7RDC(1, 4, q);
    EXPECT_EQ(err, static_cast<int16_t>(EC_BAD_CHECKSUM));
    EXPECT_EQ(f, FGUARD);
}

TEST_F(CounterChecksumLines, KnownLines)
{
    int16_t err = GUARD, status = GUARD;
    TLIPARAM cdc[3] = {t::wordIn(1), t::wordIn(0), t::wordOut(&err)};
    t::reply("!0182\r");
    I7CDC(1, 3, cdc);
    EXPECT_EQ(t::lastWrite(), "$01C0F8\r");
    EXPECT_EQ(err, 0);

    TLIPARAM rdms[3] = {t::wordIn(1), t::wordOut(&status), t::wordOut(&err)};
    t::reply("!0104E6\r");
    I7RDMS(1, 3, rdms);
    EXPECT_EQ(t::lastWrite(), "~0100F\r");
    EXPECT_EQ(err, 0);
    EXPECT_EQ(status, 4);

    TLIPARAM shwv[3] = {t::wordIn(1), t::wordIn(100), t::wordOut(&err)};
    err = GUARD;
    t::reply("!0182\r");
    I7SHWV(1, 3, shwv);
    EXPECT_EQ(t::lastWrite(), "~013164AD\r");
    EXPECT_EQ(err, 0);
}

// ---------------------------------------------------------------------------
// I7HOK.

class HostOk : public ModuleTest {
protected:
    const char *options() override { return "DEBUG"; }
    BOOL call()
    {
        TLIPARAM p[1] = {t::wordOut(&err)};
        return I7HOK(1, 1, p);
    }
    int16_t err = GUARD;
};

TEST_F(HostOk, SendsTheBroadcastWithoutClearingTheReceiveQueue)
{
    scommInject("!01\r", 4); // not read, not cleared
    EXPECT_EQ(call(), FALSE);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(t::lastWrite(), std::string("\x7E\x2A\x2A\x0D", 4));
    EXPECT_EQ(t::commLog(), "xmitclear 1\nwrite 1 ~**\\r\n");
    EXPECT_EQ(scommRxWaiting(), 4);
    EXPECT_EQ(scommGetcCalls(), 0);
    EXPECT_EQ(t::console(), "");
}

TEST_F(HostOk, WithChecksumsOnTheFrameIsSixBytes)
{
    ASSERT_EQ(t::init("CHECKSUM COMPORT=3"), EC_OK);
    scommClearLog();
    call();
    EXPECT_EQ(err, 0);
    EXPECT_EQ(t::lastWrite(), "~**D2\r");
    EXPECT_EQ(t::commLog(), "xmitclear 3\nwrite 3 ~**D2\\r\n");
}

// The queue is tested before the timer on every pass.
TEST_F(HostOk, WaitsForTheTransmitQueueOnly)
{
    struct Case {
        const char *options;
        int32_t drain; // polls during which the queue still holds the frame
        ERRCODE ec;
        int32_t queuePolls;
        int64_t elapsed; // ms of virtual time (1 ms per timer poll)
    } cases[] = {
        {"DEBUG", 0, EC_OK, 1, 0},
        {"DEBUG", 3, EC_OK, 4, 3},
        {"DEBUG", 39, EC_OK, 40, 39}, // drained on the pass after the timer's last "time remains"
        {"DEBUG", 40, EC_TIMEOUT, 40, 40},
        {"DEBUG", -1, EC_TIMEOUT, 40, 40},
        {"DEBUG TIMEOUT=5", -1, EC_TIMEOUT, 5, 5},
        {"DEBUG TIMEOUT=500", 499, EC_OK, 500, 499},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.options) + " drain " + std::to_string(c.drain));
        ASSERT_EQ(t::init(c.options), EC_OK);
        scommSetXmitDrain(c.drain);
        int32_t polls0 = scommXmitqueuePolls();
        int64_t t0 = hostsvc::nowMs();
        err = GUARD;
        call();
        EXPECT_EQ(err, static_cast<int16_t>(c.ec));
        EXPECT_EQ(scommXmitqueuePolls() - polls0, c.queuePolls);
        EXPECT_EQ(hostsvc::nowMs() - t0, c.elapsed);
        EXPECT_EQ(scommRcvqueuePolls(), 0);
        EXPECT_EQ(t::console(), "\nVELDRAN  : initializing: \"" + std::string(c.options) +
                                    "\"...\nVELDRAN  : initialization completed OK.");
    }
}

// After an exchange that gave up mid-reply, the broadcast too waits for the
// reply's carriage return before it goes out over it.
TEST_F(HostOk, WaitsForTheLineToSettleAfterAFailedExchange)
{
    const std::string reply = ">00FF\r";
    std::vector<int32_t> due = {38, 39, 40, 41, 42, 43};
    scommQueueReply(reply.data(), static_cast<int32_t>(reply.size()), due.data());
    int value = 0;
    ASSERT_EQ(readDIO(1, &value), EC_TIMEOUT);
    EXPECT_EQ(scommGetcCalls(), 1);
    scommClearLog();
    call();
    EXPECT_EQ(err, 0);
    EXPECT_EQ(scommGetcCalls(), 6) << "the rest of the reply was read first";
    EXPECT_EQ(scommPending(), 0);
    EXPECT_EQ(t::commLog(), "xmitclear 1\nwrite 1 ~**\\r\n");
}

TEST_F(HostOk, RefusedFrameGives1010WithoutWaiting)
{
    scommSetWriteResult(0);
    call();
    EXPECT_EQ(err, static_cast<int16_t>(EC_WRITE_FAILED));
    EXPECT_EQ(hostsvc::counters().timerSets, 0);
    EXPECT_EQ(scommXmitqueuePolls(), 0);
    EXPECT_EQ(t::console(), "");
}

} // namespace
