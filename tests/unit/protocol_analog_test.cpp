// The analog operations: readAIN's field decoding, channel error mask and
// count trace, and the value field that writeAO sends.
#include <cfloat>
#include <cmath>
#include <limits>

#include "support.h"

namespace {

constexpr float UNTOUCHED = -777.0f;

std::string repeat(const std::string &field, int n)
{
    std::string s;
    for (int i = 0; i < n; ++i)
        s += field;
    return s;
}

class ProtocolAnalog : public ModuleTest {
protected:
    void SetUp() override
    {
        ModuleTest::SetUp();
        timeout = 500;
        for (float &f : v)
            f = UNTOUCHED;
    }
    // Runs readAIN on `data` (the reply before its checksum), the checksum
    // added when it is on.
    ERRCODE read(const std::string &data, int format = 0, int channels = 8)
    {
        t::reply((useCheckSum ? data + t::sum(data) : data) + "\r");
        mask = 0xDEADBEEF;
        return readAIN(3, format, channels, v, &mask);
    }
    float v[12];
    unsigned mask = 0;
};

struct AinCase {
    const char *what;
    int format;
    std::string data;
    ERRCODE code;
    unsigned mask;
    std::vector<float> values; // empty: nothing written
};

const std::string F = "+05.123";
const std::vector<float> FIVES(8, 5.123f);

const AinCase AIN_CASES[] = {
    {"decimal, eight good fields", 0, ">" + repeat(F, 8), EC_OK, 0, FIVES},
    {"format 1 is decimal", 1, ">" + repeat(F, 8), EC_OK, 0, FIVES},
    {"a negative field",
     0,
     ">" + repeat(F, 3) + "-10.500" + repeat(F, 4),
     EC_OK,
     0,
     {5.123f, 5.123f, 5.123f, -10.5f, 5.123f, 5.123f, 5.123f, 5.123f}},
    {"one character too many", 0, ">" + repeat(F, 8) + "9", EC_AIN_LENGTH, 0, FIVES},
    // A field that lies partly or wholly past the reply has no value.
    {"one character short",
     0,
     ">" + repeat(F, 7) + "+05.12",
     EC_AIN_LENGTH,
     0x80,
     {5.123f, 5.123f, 5.123f, 5.123f, 5.123f, 5.123f, 5.123f, 0.0f}},
    {"three fields", 0, ">" + repeat(F, 3), EC_AIN_LENGTH, 0xF8, {5.123f, 5.123f, 5.123f, 0, 0, 0, 0, 0}},
    {"carriage return alone", 0, "", EC_AIN_LENGTH, 0xFF, {0, 0, 0, 0, 0, 0, 0, 0}},
    {"start character alone", 0, ">", EC_AIN_LENGTH, 0xFF, {0, 0, 0, 0, 0, 0, 0, 0}},
    // A field that stops early keeps its bit and shifts the later ones; the
    // read is then no clean one even though the length is right.
    {"a field that stops early",
     0,
     ">" + F + "+05.1X3" + repeat(F, 6),
     EC_AIN_LENGTH,
     0xFE,
     {5.123f, 5.1f, 0.0f /* "X3+05.1" */, 0, 0, 0, 0, 0}},
    {"hex, eight good fields",
     2,
     ">0000FFFF7FFF0001abcd00FF12341000",
     EC_OK,
     0,
     {0.0f, 65535.0f, 32767.0f, 1.0f, 43981.0f, 255.0f, 4660.0f, 4096.0f}},
    {"hex, a field with a minus sign",
     2,
     ">0001-0002000300040005000600070008",
     EC_AIN_LENGTH,
     0x02,
     {1, 0, 3, 4, 5, 6, 7, 8}},
    {"hex, eight minus fields (41)", 2, ">" + repeat("-7FFF", 8), EC_AIN_LENGTH, 0xFF, {0, 0, 0, 0, 0, 0, 0, 0}},
    {"hex, 42 characters", 2, ">" + repeat("-7FFF", 8) + "0", EC_BAD_FORMAT, 0xFF, {}},
    {"hex, a field that is no hex number",
     2,
     ">000112G4000300040005000600070008",
     EC_AIN_LENGTH,
     0x02,
     {1, -1, 3, 4, 5, 6, 7, 8}},
    {"hex, one character short", 2, ">0001000200030004000500060007008", EC_AIN_LENGTH, 0x80, {1, 2, 3, 4, 5, 6, 7, 0}},
    {"hex, carriage return alone", 2, "", EC_AIN_LENGTH, 0xFF, {0, 0, 0, 0, 0, 0, 0, 0}},
};

class ProtocolAinTable : public ProtocolAnalog, public ::testing::WithParamInterface<AinCase> {};

TEST_P(ProtocolAinTable, Decodes)
{
    const AinCase &c = GetParam();
    for (BOOL cs : {FALSE, TRUE}) {
        if (cs && c.data.size() <= 1)
            continue; // too short for a checksum: below
        SCOPED_TRACE(cs ? "with checksum" : "plain");
        useCheckSum = cs;
        for (float &f : v)
            f = UNTOUCHED;
        EXPECT_EQ(read(c.data, c.format), c.code);
        EXPECT_EQ(mask, c.mask);
        if (c.values.empty()) {
            for (int j = 0; j < 8; ++j)
                EXPECT_EQ(v[j], UNTOUCHED) << j;
        } else {
            for (int j = 0; j < 8; ++j)
                EXPECT_EQ(v[j], c.values[static_cast<size_t>(j)]) << "channel " << j;
        }
        EXPECT_EQ(v[8], UNTOUCHED) << "nothing beyond the channels";
    }
    EXPECT_EQ(t::console(), "");
}

INSTANTIATE_TEST_SUITE_P(Cases, ProtocolAinTable, ::testing::ValuesIn(AIN_CASES));

TEST_F(ProtocolAnalog, FailuresLeaveValuesAndEveryBitSet)
{
    struct {
        BOOL cs;
        std::string reply; // sent as it is
        ERRCODE code;
    } cases[] = {
        {FALSE, "?\r", EC_REFUSED},
        {FALSE, "?>" + repeat(F, 8) + "\r", EC_REFUSED},
        {FALSE, ">" + repeat(F, 8), EC_TIMEOUT},
        {FALSE, ">" + repeat(F, 12) + "\r", EC_BAD_LENGTH},
        {TRUE, "\r", EC_BAD_LENGTH},
        {TRUE, ">\r", EC_BAD_LENGTH},
        {TRUE, ">DE\r", EC_BAD_LENGTH},
        {TRUE, ">" + repeat(F, 8) + "de\r", EC_BAD_CHECKSUM},
        {TRUE, ">" + repeat(F, 8) + "DF\r", EC_BAD_CHECKSUM},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.reply);
        useCheckSum = c.cs;
        t::reply(c.reply);
        mask = 0;
        EXPECT_EQ(readAIN(3, 0, 8, v, &mask), c.code);
        EXPECT_EQ(mask, 0xFFu);
        for (int j = 0; j < 8; ++j)
            EXPECT_EQ(v[j], UNTOUCHED) << j;
    }
    // With the checksum on, four characters are enough to be checked.
    useCheckSum = TRUE;
    EXPECT_EQ(read(">1"), EC_AIN_LENGTH);
}

TEST_F(ProtocolAnalog, ChannelCountSetsTheMaskWidth)
{
    EXPECT_EQ(read(">" + repeat(F, 4), 0, 4), EC_OK);
    EXPECT_EQ(mask, 0u);
    t::silence();
    mask = 0xFFFFFFFF;
    timeout = 5;
    EXPECT_EQ(readAIN(3, 0, 4, v, &mask), EC_TIMEOUT);
    EXPECT_EQ(mask, 0x0Fu);
    timeout = 500;
    // Eleven decimal fields are the most that fit in a reply.
    EXPECT_EQ(read(">" + repeat("-01.250", 11), 0, 11), EC_OK);
    EXPECT_EQ(mask, 0u);
    EXPECT_EQ(v[10], -1.25f);
    EXPECT_EQ(v[11], UNTOUCHED);
    // Eleven fields with a checksum make the longest accepted line, 80.
    useCheckSum = TRUE;
    EXPECT_EQ(read(">" + repeat("+11.000", 11), 0, 11), EC_OK);
    EXPECT_EQ(v[0], 11.0f);
}

// Nothing of an earlier, longer reply is decoded for a later, shorter one.
TEST_F(ProtocolAnalog, ShortReplyAfterALongOneDecodesNothingStale)
{
    for (int format : {0, 2}) {
        SCOPED_TRACE(format);
        std::string longer = format == 2 ? ">" + repeat("1234", 8) : ">" + repeat("+01.234", 8);
        std::string shorter = format == 2 ? ">0005" : ">+00.005";
        ASSERT_EQ(read(longer, format), EC_OK);
        EXPECT_EQ(read(shorter, format), EC_AIN_LENGTH);
        EXPECT_EQ(mask, 0xFEu);
        EXPECT_EQ(v[0], format == 2 ? 5.0f : 0.005f);
        for (int j = 1; j < 8; ++j)
            EXPECT_EQ(v[j], 0.0f) << j;
    }
}

// ---------------------------------------------------------------------------
// readAIN's traces, only with the debug option.

TEST_F(ProtocolAnalog, Traces)
{
    const std::string good = ">" + repeat(F, 8);
    struct {
        BOOL cs;
        int format;
        std::string reply; // as sent
        ERRCODE code;
        std::string trace;
    } cases[] = {
        {FALSE, 0, good + "\r", EC_OK, ""},
        {FALSE, 0, good + "9\r", EC_AIN_LENGTH, "\nrec: cnt=58 sts=   0 \n\tstr=" + good + "9"},
        {FALSE, 0, good.substr(0, 50) + "\r", EC_AIN_LENGTH, "\nrec: cnt=50 sts=  80 \n\tstr=" + good.substr(0, 50)},
        {FALSE, 0, "\r", EC_AIN_LENGTH, "\nrec: cnt=0 sts=  FF \n\tstr="},
        {FALSE, 2, ">" + repeat("-7FFF", 8) + "0\r", EC_BAD_FORMAT,
         "\nrec: cnt=42 sts=  FF \n\tstr=>" + repeat("-7FFF", 8) + "0"},
        {FALSE, 0, ">" + std::string(80, '1') + "\r", EC_BAD_LENGTH,
         "\nrec: cnt=81 sts=  FF \n\tstr=>" + std::string(79, '1')},
        {FALSE, 0, "?\r", EC_REFUSED, ""},
        {FALSE, 0, good, EC_TIMEOUT, ""},
        {TRUE, 0, good + "DE\r", EC_OK, ""},
        {TRUE, 0, good + "9" + t::sum(good + "9") + "\r", EC_AIN_LENGTH,
         "\nrec: cnt=58 sts=   0 \n\tstr=" + good + "9"},
        {TRUE, 0, good + "EE\r", EC_BAD_CHECKSUM, "\nInvalidChecksum: rec: 45  cal: 44"},
        {TRUE, 0, good + "DF\r", EC_BAD_CHECKSUM, "\nInvalidChecksum: rec: 44  cal: 44"},
        {TRUE, 0, "\r", EC_BAD_LENGTH, "\nrec: cnt=-2 sts=  FF \n\tstr="},
        {TRUE, 0, "x>\r", EC_BAD_LENGTH, "\nrec: cnt=-1 sts=  FF \n\tstr="},
        {TRUE, 0, ">12\r", EC_BAD_LENGTH, "\nrec: cnt=1 sts=  FF \n\tstr=>"},
        {TRUE, 0, ">" + std::string(80, '1') + "\r", EC_BAD_LENGTH,
         "\nrec: cnt=79 sts=  FF \n\tstr=>" + std::string(78, '1')},
    };
    for (BOOL dbg : {FALSE, TRUE}) {
        debug = dbg;
        for (const auto &c : cases) {
            SCOPED_TRACE(c.reply + (dbg ? " debug" : ""));
            useCheckSum = c.cs;
            t::reply(c.reply);
            EXPECT_EQ(readAIN(3, c.format, 8, v, &mask), c.code);
            EXPECT_EQ(t::console(), dbg ? c.trace : "");
        }
    }
}

// ---------------------------------------------------------------------------
// writeAO: "#", address, channel digit and seven characters of "%+07.3f".

TEST_F(ProtocolAnalog, WriteAOValueField)
{
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct {
        float value;
        const char *field; // nullptr: the first seven of what printf makes
    } cases[] = {
        {5.0f, "+05.000"},   {-0.5f, "-00.500"},    {22.0f, "+22.000"},
        {-11.0f, "-11.000"}, {1.23456f, "+01.235"}, {-0.0f, "-00.000"},
        {0.0f, "+00.000"},   {100.0f, "+100.00"},   {-100.0f, "-100.00"},
        {99.9995f, nullptr}, {FLT_MAX, "+340282"},  {-FLT_MAX, "-340282"},
        {inf, nullptr},      {-inf, nullptr},       {nan, nullptr},
        {-nan, nullptr},     {FLT_MIN, "+00.000"},  {-FLT_TRUE_MIN, "-00.000"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        std::string field;
        if (c.field) {
            field = c.field;
        } else {
            char text[64];
            snprintf(text, sizeof text, "%+07.3f", static_cast<double>(c.value));
            field = std::string(text).substr(0, 7);
            ASSERT_EQ(field.size(), 7u);
        }
        t::reply(">\r");
        EXPECT_EQ(writeAO(2, 1, c.value), EC_OK);
        EXPECT_EQ(t::lastWrite(), "#021" + field + "\r");
    }
}

TEST_F(ProtocolAnalog, WriteAOChannelAndReplies)
{
    t::reply(">\r");
    EXPECT_EQ(writeAO(255, 0x13, 1.0f), EC_OK);
    EXPECT_EQ(t::lastWrite(), "#FF3+01.000\r");
    struct {
        BOOL cs;
        const char *reply;
        ERRCODE code;
    } cases[] = {
        {FALSE, ">\r", EC_OK},        {FALSE, "x>\r", EC_OK},           {FALSE, ">x\r", EC_BAD_LENGTH},
        {FALSE, "\r", EC_BAD_LENGTH}, {FALSE, "?>\r", EC_REFUSED},      {FALSE, "!>\r", EC_BANG},
        {TRUE, ">3E\r", EC_OK},       {TRUE, ">3e\r", EC_BAD_CHECKSUM}, {TRUE, ">4E\r", EC_BAD_CHECKSUM},
        {TRUE, ">\r", EC_BAD_LENGTH},
    };
    debug = TRUE; // and still no trace
    for (const auto &c : cases) {
        SCOPED_TRACE(c.reply);
        useCheckSum = c.cs;
        t::reply(c.reply);
        EXPECT_EQ(writeAO(2, 1, 5.0f), c.code);
    }
    EXPECT_EQ(t::console(), "");
}

} // namespace
