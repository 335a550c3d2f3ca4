// Requests, start-up options and the host-service stubs.
#include "support.h"

namespace {

const std::string OK_OPEN = "setup 1 128 128 19200 N 1 8\nxmitclear 1\nrcvclear 1\n";

class Frame : public ::testing::Test {
protected:
    void SetUp() override { t::freshModule(); }
    void TearDown() override { t::freshModule(); }
};

TEST_F(Frame, InitWithoutOptionsOpensCom1At19200)
{
    EXPECT_EQ(t::init(nullptr), EC_OK);
    EXPECT_EQ(t::console(), "\nVELDRAN  : initializing...\nVELDRAN  : initialization completed OK.");
    EXPECT_EQ(t::commLog(), OK_OPEN);
    void *rcv, *xmit;
    scommSetupBuffers(&rcv, &xmit);
    EXPECT_EQ(rcv, static_cast<void *>(rcvBuf));
    EXPECT_EQ(xmit, static_cast<void *>(xmitBuf));
    EXPECT_EQ(TopDoc, 0);
    EXPECT_EQ(Mode, 1);
}

TEST_F(Frame, InitWithOptionsEchoesThemAndAppliesThem)
{
    EXPECT_EQ(t::init("COMPORT=2 BAUD=96 TIMEOUT=100 CHECKSUM DEBUG", 0xFFFFFFFF), EC_OK);
    EXPECT_EQ(t::console(), "\nVELDRAN  : initializing: \"COMPORT=2 BAUD=96 TIMEOUT=100 CHECKSUM DEBUG\"..."
                            "\nVELDRAN  : initialization completed OK.");
    EXPECT_EQ(t::commLog(), "setup 2 128 128 9600 N 1 8\nxmitclear 2\nrcvclear 2\n");
    EXPECT_EQ(port, 2);
    EXPECT_EQ(BaudRate, 9600);
    EXPECT_EQ(timeout, 100u);
    EXPECT_EQ(useCheckSum, TRUE);
    EXPECT_EQ(debug, TRUE);
    EXPECT_EQ(TopDoc, 1); // bit 0 of the flags only
}

TEST_F(Frame, RejectedOptionPrintsThreeLinesAndLeavesThePortClosed)
{
    EXPECT_EQ(t::init("COMPORT=5"), EC_BAD_COMPORT);
    EXPECT_EQ(t::console(), "\nVELDRAN  : initializing: \"COMPORT=5\"..."
                            "\n\t Illegal comm port number 5 (1-4)"
                            "\nVELDRAN  : bad command line parameter, ec=1001");
    EXPECT_EQ(t::commLog(), "");
    EXPECT_FALSE(scommIsOpen());
}

TEST_F(Frame, PortThatCannotBeOpenedGives1004)
{
    scommSetSetupResult(7);
    EXPECT_EQ(t::init("COMPORT=3"), EC_PORT_OPEN);
    EXPECT_EQ(t::console(), "\nVELDRAN  : initializing: \"COMPORT=3\"..."
                            "\nVELDRAN  : Cannot open COM3.  ec=7"
                            "\nVELDRAN  : initialization FAILED. ec=1004");
    EXPECT_EQ(t::commLog(), "setup 3 128 128 19200 N 1 8\n"); // no clears after a failure
}

TEST_F(Frame, DeInstallClosesThePortAndSaysSo)
{
    ASSERT_EQ(t::init(nullptr), EC_OK);
    t::console();
    scommClearLog();
    EXPECT_EQ(t::deinstall(), EC_OK);
    EXPECT_EQ(t::console(), "\nVELDRAN  : Deinstalled OK.");
    EXPECT_EQ(t::commLog(), "disable 1\n");
}

TEST_F(Frame, SecondInitClosesThePortItOpenedBeforeOpeningAgain)
{
    ASSERT_EQ(t::init("COMPORT=2"), EC_OK);
    scommClearLog();
    t::console();
    ASSERT_EQ(t::init("COMPORT=3 BAUD=1152"), EC_OK);
    EXPECT_EQ(t::console(), "\nVELDRAN  : initializing: \"COMPORT=3 BAUD=1152\"..."
                            "\nVELDRAN  : initialization completed OK.");
    EXPECT_EQ(t::commLog(), "disable 2\nsetup 3 128 128 115200 N 1 8\nxmitclear 3\nrcvclear 3\n");
    EXPECT_EQ(scommSetupWhileOpen(), 0);
}

TEST_F(Frame, FailedInitLeavesAnOpenPortOpenAndDeInstallClosesTheOneOpened)
{
    ASSERT_EQ(t::init("COMPORT=2"), EC_OK);
    scommClearLog();
    // COMPORT=4 is applied, then BAUD=1 fails: the port stays open untouched.
    EXPECT_EQ(t::init("COMPORT=4 BAUD=1"), EC_BAD_BAUD);
    EXPECT_EQ(t::commLog(), "");
    EXPECT_EQ(port, 4);
    EXPECT_TRUE(scommIsOpen());
    EXPECT_EQ(t::deinstall(), EC_OK);
    EXPECT_EQ(t::commLog(), "disable 2\n");
    EXPECT_FALSE(scommIsOpen());
}

TEST_F(Frame, DeInstallWithNoPortOpenStillDisablesThePortSetting)
{
    EXPECT_EQ(t::init("COMPORT=3 TIMEOUT=1"), EC_BAD_TIMEOUT);
    scommClearLog();
    EXPECT_EQ(t::deinstall(), EC_OK);
    EXPECT_EQ(t::commLog(), "disable 3\n");
}

TEST_F(Frame, RequestCodes)
{
    ASSERT_EQ(t::init(nullptr), EC_OK);
    t::console();
    scommClearLog();
    struct Case {
        int32_t code;
        ERRCODE result;
    } cases[] = {{0, EC_BAD_REQUEST}, {6, EC_BAD_REQUEST}, {-1, EC_BAD_REQUEST}, {3, EC_OK}, {5, EC_OK}};
    for (const Case &c : cases) {
        EXPECT_EQ(t::request(c.code), c.result) << "request " << c.code;
    }
    EXPECT_EQ(t::console(), "");
    EXPECT_EQ(t::commLog(), "");
}

TEST_F(Frame, SetModeStoresTheModeSilently)
{
    ASSERT_EQ(t::init(nullptr), EC_OK);
    t::console();
    for (int32_t mode : {2, -1, 0, 1, 12345}) {
        EXPECT_EQ(t::setMode(mode), EC_OK);
        EXPECT_EQ(Mode, mode);
    }
    EXPECT_EQ(t::console(), "");
}

TEST_F(Frame, InitFlagsOtherThanBitZeroAreIgnored)
{
    ASSERT_EQ(t::init(nullptr, 0xFFFFFFFE), EC_OK);
    EXPECT_EQ(TopDoc, 0);
    ASSERT_EQ(t::init(nullptr, 1), EC_OK);
    EXPECT_EQ(TopDoc, 1);
}

// No dispatcher before the first Init: the stubs do nothing and a request
// or an instruction call cannot crash.
TEST_F(Frame, StubsWithoutDispatcherDoNothing)
{
    ASSERT_EQ(__vp_dispatch, nullptr);
    EXPECT_EQ(HlpPtimerSet(40), 0);
    EXPECT_EQ(HlpPtimerPoll(1234), 0);
    EXPECT_EQ(HlpPrintf("x%d", 1), 0);
    char buf[8] = "keep";
    HlpSprintf(buf, "%d", 99);
    EXPECT_STREQ(buf, "keep");
    EXPECT_EQ(hostsvc::counters().printfCalls + hostsvc::counters().timerPolls, 0);

    // SetMode before Init opens the gate; the exchange then times out at once.
    EXPECT_EQ(t::setMode(2), EC_OK);
    int16_t errCode = 0;
    float ain[8] = {};
    TLIPARAM params[4] = {t::wordIn(1), t::wordIn(0), t::floatOut(ain), t::wordOut(&errCode)};
    EXPECT_EQ(I7017(1, 4, params), FALSE);
    EXPECT_EQ(errCode, static_cast<int16_t>(EC_TIMEOUT));
    int16_t aoErr = 0;
    TLIPARAM ao[4] = {t::wordIn(1), t::wordIn(0), t::floatIn(5.0f), t::wordOut(&aoErr)};
    EXPECT_EQ(I7024(1, 4, ao), FALSE);
    EXPECT_EQ(aoErr, static_cast<int16_t>(EC_TIMEOUT));
    EXPECT_EQ(t::lastWrite().size(), 12u); // a defined line, no stack garbage read
}

TEST_F(Frame, DispatcherIsStoredBeforeTheInitMessages)
{
    EXPECT_EQ(t::init("DEBUG"), EC_OK);
    EXPECT_EQ(__vp_dispatch, reinterpret_cast<vp_dispatch_t>(hostsvc::dispatcher()));
    EXPECT_EQ(hostsvc::counters().printfCalls, 2);
}

// ---------------------------------------------------------------------------
// CommandLine, table-driven.

struct Settings {
    int32_t port;
    int32_t baud;
    uint32_t timeout;
    BOOL checksum;
    BOOL debug;
    uint32_t latency = 20;
};
const Settings DEFAULTS = {1, 19200, 40, FALSE, FALSE};

struct OptionCase {
    const char *text;
    ERRCODE code;
    Settings after;
    const char *console;
};

const OptionCase OPTION_CASES[] = {
    {"", EC_OK, DEFAULTS, ""},
    {" \t  \t", EC_OK, DEFAULTS, ""},
    {"COMPORT=2 BAUD=96 TIMEOUT=100 CHECKSUM DEBUG", EC_OK, {2, 9600, 100, TRUE, TRUE}, ""},
    {"baud=1152", EC_OK, {1, 115200, 40, FALSE, FALSE}, ""},
    {"Baud=384\tcomport=4", EC_OK, {4, 38400, 40, FALSE, FALSE}, ""},
    {"BAUD=576", EC_OK, {1, 57600, 40, FALSE, FALSE}, ""},
    {"BAUD=9600", EC_BAD_BAUD, DEFAULTS, "Illegal baud rate: 9600 (96,192,384,576,1152) x100"},
    {"BAUD=", EC_BAD_BAUD, DEFAULTS, "Illegal baud rate: 0 (96,192,384,576,1152) x100"},
    {"TIMEOUT=4", EC_BAD_TIMEOUT, DEFAULTS, "\n\t Invalid time out value: 4 msecs (5-500)"},
    {"TIMEOUT=501", EC_BAD_TIMEOUT, DEFAULTS, "\n\t Invalid time out value: 501 msecs (5-500)"},
    {"TIMEOUT=5", EC_OK, {1, 19200, 5, FALSE, FALSE}, ""},
    {"TIMEOUT=500", EC_OK, {1, 19200, 500, FALSE, FALSE}, ""},
    // A very large unsigned number, rejected and not kept.
    {"TIMEOUT=-1", EC_BAD_TIMEOUT, DEFAULTS, "\n\t Invalid time out value: -1 msecs (5-500)"},
    {"TIMEOUT=99999999999", EC_BAD_TIMEOUT, DEFAULTS, "\n\t Invalid time out value: 2147483647 msecs (5-500)"},
    {"COMPORT=0", EC_BAD_COMPORT, DEFAULTS, "\n\t Illegal comm port number 0 (1-4)"},
    {"COMPORT=5", EC_BAD_COMPORT, DEFAULTS, "\n\t Illegal comm port number 5 (1-4)"},
    {"COMPORT=", EC_BAD_COMPORT, DEFAULTS, "\n\t Illegal comm port number 0 (1-4)"},
    {"COMPORT=4294967297", EC_BAD_COMPORT, DEFAULTS, "\n\t Illegal comm port number 2147483647 (1-4)"},
    // The value is read after the '=' with white space skipped; the parse
    // then resumes at the blank and finds "3".
    {"COMPORT= 3", EC_BAD_OPTION, {3, 19200, 40, FALSE, FALSE}, "<3>\n"},
    {"FOO DEBUG", EC_BAD_OPTION, DEFAULTS, "<FOO DEBUG>\n"},
    {"DEBUG FOO", EC_BAD_OPTION, {1, 19200, 40, FALSE, TRUE}, "<FOO>\n"},
    {"DEBUGGING COMPORT=3X", EC_OK, {3, 19200, 40, FALSE, TRUE}, ""},
    {"CHECKSUM   ", EC_OK, {1, 19200, 40, TRUE, FALSE}, ""},
    {"COMPORT=2 COMPORT=3", EC_OK, {3, 19200, 40, FALSE, FALSE}, ""},
    // Options before the bad one stay applied; the rejected value is not.
    {"COMPORT=2 BAUD=96 COMPORT=9",
     EC_BAD_COMPORT,
     {2, 9600, 40, FALSE, FALSE},
     "\n\t Illegal comm port number 9 (1-4)"},
    {"TIMEOUT=100 TIMEOUT=3",
     EC_BAD_TIMEOUT,
     {1, 19200, 100, FALSE, FALSE},
     "\n\t Invalid time out value: 3 msecs (5-500)"},
    {"LATENCY=0", EC_OK, {1, 19200, 40, FALSE, FALSE, 0}, ""},
    {"latency=255 TIMEOUT=100", EC_OK, {1, 19200, 100, FALSE, FALSE, 255}, ""},
    {"Latency=16ms DEBUG", EC_OK, {1, 19200, 40, FALSE, TRUE, 16}, ""},
    {"LATENCY=", EC_OK, {1, 19200, 40, FALSE, FALSE, 0}, ""},
    {"LATENCY=256", EC_BAD_LATENCY, DEFAULTS, "\n\t Invalid latency value: 256 msecs (0-255)"},
    // Compared as unsigned: -1 is outside, and the value is not kept.
    {"LATENCY=-1", EC_BAD_LATENCY, DEFAULTS, "\n\t Invalid latency value: -1 msecs (0-255)"},
    {"LATENCY=5 LATENCY=300 DEBUG",
     EC_BAD_LATENCY,
     {1, 19200, 40, FALSE, FALSE, 5},
     "\n\t Invalid latency value: 300 msecs (0-255)"},
    {"LATENCY", EC_BAD_OPTION, DEFAULTS, "<LATENCY>\n"},
    {"COMPORT", EC_BAD_OPTION, DEFAULTS, "<COMPORT>\n"},
    {"DEBU", EC_BAD_OPTION, DEFAULTS, "<DEBU>\n"},
};

class Options : public ::testing::TestWithParam<OptionCase> {
protected:
    void SetUp() override
    {
        t::freshModule();
        ASSERT_EQ(t::init(nullptr), EC_OK); // dispatcher for the messages
        t::console();
    }
    void TearDown() override { t::freshModule(); }
};

TEST_P(Options, ParsesAsExpected)
{
    const OptionCase &c = GetParam();
    EXPECT_EQ(CommandLine(c.text), c.code);
    EXPECT_EQ(t::console(), c.console);
    EXPECT_EQ(port, c.after.port);
    EXPECT_EQ(BaudRate, c.after.baud);
    EXPECT_EQ(timeout, c.after.timeout);
    EXPECT_EQ(useCheckSum, c.after.checksum);
    EXPECT_EQ(debug, c.after.debug);
    EXPECT_EQ(latency, c.after.latency);
}

INSTANTIATE_TEST_SUITE_P(Table, Options, ::testing::ValuesIn(OPTION_CASES));

TEST_F(Frame, OnlyTheFirst199CharactersAreParsed)
{
    ASSERT_EQ(t::init(nullptr), EC_OK);
    t::console();
    // 194 blanks, then "DEBUG" ends exactly at character 199.
    std::string fits = std::string(194, ' ') + "DEBUG";
    EXPECT_EQ(CommandLine(fits.c_str()), EC_OK);
    EXPECT_EQ(debug, TRUE);
    debug = FALSE;
    // One blank more cuts it to "DEBU", which is no keyword.
    std::string cut = std::string(195, ' ') + "DEBUG";
    EXPECT_EQ(CommandLine(cut.c_str()), EC_BAD_OPTION);
    EXPECT_EQ(t::console(), "<DEBU>\n");
    // A long string without any blank is bounded by the work buffer.
    std::string longWord(5000, 'X');
    EXPECT_EQ(CommandLine(longWord.c_str()), EC_BAD_OPTION);
    EXPECT_EQ(t::console(), "<" + std::string(199, 'X') + ">\n");
}

TEST_F(Frame, RejectedTimeoutOnAnOpenPortKeepsTheWorkingOne)
{
    ASSERT_EQ(t::init("TIMEOUT=100"), EC_OK);
    EXPECT_EQ(t::init("TIMEOUT=-1"), EC_BAD_TIMEOUT);
    EXPECT_EQ(timeout, 100u);
    EXPECT_TRUE(scommIsOpen());
}

} // namespace
