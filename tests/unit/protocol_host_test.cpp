// HostCmd: module status, the value that ends a sub-command 2 reply, and the
// host watchdog.
#include "support.h"

namespace {

constexpr int KEEP = 0x5A5A5A5A;

struct HostCase {
    int cmd;
    int value;
    BOOL state;
    std::string line;  // sent, before the checksum
    std::string reply; // before the checksum
    ERRCODE code;
    int result; // KEEP: not written
};

const HostCase HOST_CASES[] = {
    {0, 0, FALSE, "~010", "!0104", EC_OK, 4},
    {0, 0, FALSE, "~010", "!01FF", EC_OK, 255},
    {0, 0, FALSE, "~010", "!01a0", EC_OK, 0xA0},
    {0, 0, FALSE, "~010", "!014 ", EC_OK, 4}, // a blank ends the number
    {0, 0, FALSE, "~010", ">!0104", EC_OK, 4},
    {0, 0, FALSE, "~010", "!01", EC_BAD_LENGTH, KEEP},
    {0, 0, FALSE, "~010", "!01040", EC_BAD_LENGTH, KEEP},
    // Right length, but no two hex digits: malformed.
    {0, 0, FALSE, "~010", "!014G", EC_BAD_LENGTH, KEEP},
    {0, 0, FALSE, "~010", "!01 4", EC_BAD_LENGTH, KEEP},
    {1, 0, FALSE, "~011", "!01", EC_OK, KEEP},
    {1, 0, FALSE, "~011", "!0104", EC_BAD_LENGTH, KEEP},
    // Sub-command 2: at least five characters, the value in the last two.
    {2, 0, FALSE, "~012", "!01164", EC_OK, 0x64},
    {2, 0, FALSE, "~012", "!0112", EC_OK, 0x12},
    {2, 0, FALSE, "~012", "!01?xyz12", EC_OK, 0x12},                         // "?" after the start is data
    {2, 0, FALSE, "~012", "!01" + std::string(73, 'x') + "12", EC_OK, 0x12}, // 80 with the checksum
    {2, 0, FALSE, "~012", "!011", EC_BAD_LENGTH, KEEP},
    {2, 0, FALSE, "~012", "!01x4G", EC_BAD_LENGTH, KEEP},
    // Sub-command 3: the flag is "1" only for state 1; the value's low byte.
    {3, 100, TRUE, "~013164", "!01", EC_OK, KEEP},
    {3, 100, 2, "~013064", "!01", EC_OK, KEEP},
    {3, 0, FALSE, "~013000", "!01", EC_OK, KEEP},
    {3, 300, TRUE, "~01312C", "!01", EC_OK, KEEP},
    {3, 255, TRUE, "~0131FF", "!01", EC_OK, KEEP},
    {3, 1, TRUE, "~013101", "!0101", EC_BAD_LENGTH, KEEP},
    // A reply from another address is not this module's.
    {3, 255, TRUE, "~0131FF", "!FF", EC_BAD_LENGTH, KEEP},
    {0, 0, FALSE, "~010", "!0204", EC_BAD_LENGTH, KEEP},
    {2, 0, FALSE, "~012", "!10164", EC_BAD_LENGTH, KEEP},
};

class ProtocolHost : public ModuleTest, public ::testing::WithParamInterface<HostCase> {
protected:
    void SetUp() override
    {
        ModuleTest::SetUp();
        timeout = 200;
    }
};

TEST_P(ProtocolHost, Exchanges)
{
    const HostCase &c = GetParam();
    for (BOOL cs : {FALSE, TRUE}) {
        SCOPED_TRACE(cs ? "with checksum" : "plain");
        useCheckSum = cs;
        std::string data = c.reply.substr(c.reply.find('!'));
        std::string prefix = c.reply.substr(0, c.reply.find('!'));
        t::reply(prefix + (cs ? data + t::sum(data) : data) + "\r");
        int result = KEEP;
        EXPECT_EQ(HostCmd(c.cmd, 1, c.value, c.state, &result), c.code);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(t::lastWrite(), (cs ? c.line + t::sum(c.line) : c.line) + "\r");
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ProtocolHost, ::testing::ValuesIn(HOST_CASES));

class ProtocolHostCmd : public ModuleTest {};

TEST_F(ProtocolHostCmd, SubCommandOutOfRangeSendsNothing)
{
    for (int cmd : {4, 5, 15, 16, -1}) {
        int result = KEEP;
        EXPECT_EQ(HostCmd(cmd, 1, 0, FALSE, &result), EC_BAD_SUBCOMMAND) << cmd;
        EXPECT_EQ(result, KEEP);
    }
    EXPECT_EQ(t::commLog(), "");
    EXPECT_EQ(hostsvc::counters().timerSets, 0);
}

TEST_F(ProtocolHostCmd, ChecksumRepliesAndNoTrace)
{
    debug = TRUE;
    useCheckSum = TRUE;
    struct {
        const char *reply;
        ERRCODE code;
        int result;
    } cases[] = {
        {"!0104E6\r", EC_OK, 4},          {"!0104e6\r", EC_BAD_CHECKSUM, KEEP}, {"!0104E7\r", EC_BAD_CHECKSUM, KEEP},
        {"!0104\r", EC_BAD_LENGTH, KEEP}, {"?!0104E6\r", EC_REFUSED, KEEP},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.reply);
        t::reply(c.reply);
        int result = KEEP;
        EXPECT_EQ(HostCmd(0, 1, 0, FALSE, &result), c.code);
        EXPECT_EQ(result, c.result);
    }
    EXPECT_EQ(t::console(), "");
}

} // namespace
