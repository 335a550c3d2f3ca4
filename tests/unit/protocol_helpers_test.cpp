// The field encoders and decoders: CheckSum, itoh, itohx, htoi, dtof,
// keyupper and wait.
#include "support.h"

namespace {

// ---------------------------------------------------------------------------
// Encoders.  Each writes only its own characters: the buffer is prefilled
// with '#' and the characters after the written ones must stay.

TEST(ProtocolHelpers, CheckSumWritesTwoUpperCaseDigitsAfterTheText)
{
    struct {
        std::string text;
        const char *sum;
    } cases[] = {
        {"#01", "84"},
        {"$01C0", "F8"},
        {">0F0F", "2A"},
        {"", "00"},
        // Byte values count 0 to 255, not as signed characters.
        {"\xFF\xFF", "FE"},
        {"\x80", "80"},
        // The sum wraps modulo 256.
        {std::string(256, '\x01'), "00"},
        {std::string(257, '\x01'), "01"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.sum);
        std::vector<char> buf(c.text.begin(), c.text.end());
        buf.insert(buf.end(), 4, '#');
        EXPECT_EQ(CheckSum(buf.data(), static_cast<int>(c.text.size())), 2);
        EXPECT_EQ(std::string(buf.begin() + static_cast<long>(c.text.size()), buf.end()), std::string(c.sum) + "##");
        EXPECT_EQ(std::string(buf.begin(), buf.begin() + static_cast<long>(c.text.size())), c.text);
    }
}

TEST(ProtocolHelpers, ItohWritesExactlyTwoDigits)
{
    struct {
        int value;
        const char *text;
    } cases[] = {{0, "00"}, {10, "0A"}, {0xA5, "A5"}, {255, "FF"}, {0x5F, "5F"}};
    for (const auto &c : cases) {
        char buf[4] = {'#', '#', '#', '#'};
        itoh(static_cast<UBYTE>(c.value), buf);
        EXPECT_EQ(std::string(buf, 4), std::string(c.text) + "##") << c.value;
    }
}

TEST(ProtocolHelpers, ItohxWritesTheLowDigitsOrRefusesTheWidth)
{
    struct {
        int value;
        int n;
        ERRCODE rc;
        const char *text; // the buffer's first six characters afterwards
    } cases[] = {
        {0x1234, 2, 0, "34####"},
        {0x1F, 1, 0, "F#####"},
        {0x0F, 2, 0, "0F####"},
        {0x0F, 4, 0, "000F##"},
        {0xABC, 3, 0, "ABC###"},
        {-1, 4, 0, "FFFF##"},
        {0x12345, 4, 0, "2345##"},
        {0, 1, 0, "0#####"},
        {0x1234, 0, 0xFFFFFFFFu, "######"},
        {0x1234, 5, 0xFFFFFFFFu, "######"},
        {0x1234, -1, 0xFFFFFFFFu, "######"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.n);
        char buf[6];
        memset(buf, '#', sizeof buf);
        EXPECT_EQ(itohx(c.value, buf, c.n), c.rc);
        EXPECT_EQ(std::string(buf, 6), c.text);
    }
}

TEST(ProtocolHelpers, KeyupperTurnsOnlyLettersAToZ)
{
    const char in[] = "azAZ09`{@[~\x7F";
    const char out[] = "AZAZ09`{@[~\x7F";
    for (size_t i = 0; i + 1 < sizeof in; ++i)
        EXPECT_EQ(keyupper(in[i]), out[i]) << static_cast<int>(in[i]);
    for (int c = -128; c < 128; ++c) {
        char k = static_cast<char>(c);
        char want = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : k;
        EXPECT_EQ(keyupper(k), want) << c;
    }
}

// ---------------------------------------------------------------------------
// Decoders.

struct HtoiCase {
    const char *text;
    int len; // characters of text (a zero inside counts)
    int maxbytes;
    int value;
};

const HtoiCase HTOI_CASES[] = {
    {"00FF", 4, 4, 255},
    {"FFFF", 4, 4, 65535},
    {"7fff", 4, 4, 0x7FFF},
    {"aBcD", 4, 4, 0xABCD},
    {"0G12", 4, 4, -1},
    {"12\0"
     "4",
     4, 4, 0x12},              // a zero character ends the number
    {"1234567", 7, 4, 0x1234}, // maxbytes ends it
    {"", 0, 4, 0},             // an empty field is 0
    {"12", 2, 0, 0},
    {" 12", 3, 3, -1},   // a blank with nothing before it
    {"0 ", 2, 2, -1},    // a blank after a value of 0
    {"12 ", 3, 3, 0x12}, // a blank after a value ends it
    {"4 ", 2, 2, 4},
    {"4G", 2, 2, -1},
    {"G", 1, 1, -1},
    {"-1", 2, 2, -1},
    {"+1", 2, 2, -1},
    {"{", 1, 1, -1}, // the character after z in ASCII
    {"g", 1, 1, -1},
    {"\xC1", 1, 1, -1}, // a character above 0x7F is no digit
    {"00123", 5, 5, 0x123},
    {"FFFFF", 5, 5, 0xFFFFF},
    {"FFFFFFFF", 8, 8, -1}, // held as a signed 32-bit value
    {"7FFFFFFF", 8, 8, 0x7FFFFFFF},
};

class ProtocolHtoi : public ::testing::TestWithParam<HtoiCase> {};

TEST_P(ProtocolHtoi, Decodes)
{
    const HtoiCase &c = GetParam();
    // Bytes beyond the field are hex digits: they must not be read.
    std::string buf(c.text, static_cast<size_t>(c.len));
    buf.resize(static_cast<size_t>(c.maxbytes > c.len ? c.maxbytes : c.len), '\0');
    buf += "99";
    EXPECT_EQ(htoi(buf.c_str(), c.maxbytes), c.value) << '"' << c.text << "\" max " << c.maxbytes;
}

INSTANTIATE_TEST_SUITE_P(Table, ProtocolHtoi, ::testing::ValuesIn(HTOI_CASES));

struct DtofCase {
    const char *text;
    int maxbytes;
    double value; // narrowed to float for the comparison
    int consumed;
};

const DtofCase DTOF_CASES[] = {
    {"+05.123", 7, 5.123, 7},
    {"-10.500", 7, -10.5, 7},
    {"+00.000", 7, 0.0, 7},
    {"+99.999", 7, 99.999, 7},
    {"-0.5", 7, -0.5, 4},
    {"-12.50", 7, -12.5, 6},
    {"1.2.3", 7, 1.2, 3}, // a second point stops
    {"A", 7, 0.0, 0},
    {"", 7, 0.0, 0},
    {"+", 7, 0.0, 1},
    {"+-1", 7, 0.0, 1}, // a sign only at position 0
    {"1-2", 7, 1.0, 1},
    {".5", 7, 0.5, 2},
    {"5.", 7, 5.0, 2},
    {"+05.1X3", 7, 5.1, 5},
    {"12345678", 7, 1234567.0, 7},
    {"+05.1234", 7, 5.123, 7}, // maxbytes ends it
    {"1e5", 7, 1.0, 1},        // no exponent form
    {" 1", 7, 0.0, 0},
    {"+12\0"
     "34",
     7, 12.0, 3},
};

class ProtocolDtof : public ::testing::TestWithParam<DtofCase> {};

TEST_P(ProtocolDtof, Decodes)
{
    const DtofCase &c = GetParam();
    float v = -999.0f;
    EXPECT_EQ(dtof(c.text, c.maxbytes, &v), c.consumed) << c.text;
    EXPECT_EQ(v, static_cast<float>(c.value)) << c.text; // always stored
}

INSTANTIATE_TEST_SUITE_P(Table, ProtocolDtof, ::testing::ValuesIn(DTOF_CASES));

// Every dd.ddd field gives the float nearest to its decimal text (single
// precision throughout would round some of them up by one step).
TEST(ProtocolHelpers, DtofGivesTheNearestFloatForEveryFixedField)
{
    char text[16];
    for (int i = 0; i < 100000; i += 7) {
        snprintf(text, sizeof text, "+%02d.%03d", i / 1000, i % 1000);
        float v;
        ASSERT_EQ(dtof(text, 7, &v), 7) << text;
        ASSERT_EQ(v, static_cast<float>(i / 1000.0)) << text;
        text[0] = '-';
        ASSERT_EQ(dtof(text, 7, &v), 7) << text;
        ASSERT_EQ(v, static_cast<float>(-i / 1000.0)) << text;
    }
    float v;
    dtof("+01.111", 7, &v);
    EXPECT_EQ(v, 1.111f);
}

TEST(ProtocolHelpers, DtofWithManyDecimalsConsumesThemAll)
{
    std::string text = "0." + std::string(30, '3');
    float v;
    EXPECT_EQ(dtof(text.c_str(), 100, &v), 32);
    EXPECT_FLOAT_EQ(v, 1.0f / 3.0f);
}

// ---------------------------------------------------------------------------
// wait: one mark, polled until it runs out; nothing on the serial line.

class ProtocolWait : public ModuleTest {};

TEST_F(ProtocolWait, PollsTheHostTimerForItsPeriod)
{
    hostsvc::resetCounters();
    ::wait(25L);
    EXPECT_EQ(hostsvc::counters().timerSets, 1);
    EXPECT_EQ(hostsvc::counters().lastPeriod, 25);
    EXPECT_EQ(hostsvc::counters().timerPolls, 25);
    ::wait(0L);
    EXPECT_EQ(hostsvc::counters().timerPolls, 26);
    EXPECT_EQ(t::commLog(), "");
    EXPECT_EQ(scommRcvqueuePolls(), 0);
}

} // namespace
