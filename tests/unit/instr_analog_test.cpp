// The analog instructions I7017, I7018 (eight inputs, decimal or hex form)
// and I7024 (one output), with and without checksums.
#include "support.h"

#include <cmath>
#include <limits>

namespace {

constexpr int16_t GUARD = 0x5A5A;
constexpr float FGUARD = -123.25f;

struct AinRig {
    float f[8];
    int16_t w[8];
    int16_t err = GUARD;
    int16_t chan = GUARD;
    AinRig()
    {
        for (float &x : f)
            x = FGUARD;
        for (int16_t &x : w)
            x = GUARD;
    }
    bool floatsUntouched() const
    {
        for (float x : f)
            if (x != FGUARD)
                return false;
        return true;
    }
    bool wordsUntouched() const
    {
        for (int16_t x : w)
            if (x != GUARD)
                return false;
        return true;
    }
};

// Calls I7017 (withChan false) or I7018 on the rig.
BOOL readAnalog(bool i7018, AinRig &r, int16_t addr, int16_t format, bool isfloat)
{
    TLIPARAM p[5] = {t::wordIn(addr), t::wordIn(format), isfloat ? t::floatOut(r.f) : t::wordOut(r.w),
                     t::wordOut(&r.err), t::wordOut(&r.chan)};
    return i7018 ? I7018(1, 5, p) : I7017(1, 4, p);
}

class Analog : public ModuleTest, public ::testing::WithParamInterface<bool> {
protected:
    const char *options() override { return GetParam() ? "TIMEOUT=200 CHECKSUM" : "TIMEOUT=200"; }
    bool cs() const { return GetParam(); }
};

// ---------------------------------------------------------------------------
// Operand checks, in order: address, format, type of "AIN:".

TEST_P(Analog, OperandChecksComeFirstAndSendNothing)
{
    struct Case {
        int16_t addr, format;
        bool isfloat;
        ERRCODE ec;
    } cases[] = {
        {256, 3, false, EC_BAD_ADDRESS}, {-1, 0, true, EC_BAD_ADDRESS},  {5, 3, false, EC_BAD_FORMAT},
        {5, -1, true, EC_BAD_FORMAT},    {5, 3, true, EC_BAD_FORMAT},    {5, 2, true, EC_BAD_AIN_TYPE},
        {5, 0, false, EC_BAD_AIN_TYPE},  {5, 1, false, EC_BAD_AIN_TYPE},
    };
    for (bool i7018 : {false, true}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(i7018 ? "I7018" : "I7017") + " addr " + std::to_string(c.addr) + " format " +
                         std::to_string(c.format) + (c.isfloat ? " float" : " word"));
            AinRig r;
            EXPECT_EQ(readAnalog(i7018, r, c.addr, c.format, c.isfloat), FALSE);
            EXPECT_EQ(r.err, static_cast<int16_t>(c.ec));
            EXPECT_EQ(r.chan, i7018 ? 255 : GUARD);
            EXPECT_TRUE(r.floatsUntouched());
            EXPECT_TRUE(r.wordsUntouched());
            EXPECT_EQ(t::commLog(), "");
        }
    }
}

// ---------------------------------------------------------------------------
// Replies.  Values are given as floats; with a word "AIN:" operand each is
// expected truncated to its low 16 bits.

struct ReplyCase {
    const char *what;
    int16_t format;
    std::string body; // the reply without checksum and carriage return
    ERRCODE ec;
    ERRCODE ecChecksum; // the code when checksums are on (differs for a bare CR)
    float values[8];
    int16_t errChan;
    bool delivered; // values copied into "AIN:"
};

const std::string DEC_OK = ">+05.123-10.500+00.000+22.000-00.500+01.111+09.999-11.000";
const std::string HEX_OK = ">0000FFFF7FFF8000123400010ABCFFFE";

const ReplyCase REPLY_CASES[] = {
    {"decimal, eight good fields",
     0,
     DEC_OK,
     EC_OK,
     EC_OK,
     {5.123f, -10.5f, 0.0f, 22.0f, -0.5f, 1.111f, 9.999f, -11.0f},
     0,
     true},
    {"decimal format 1 is the same form",
     1,
     DEC_OK,
     EC_OK,
     EC_OK,
     {5.123f, -10.5f, 0.0f, 22.0f, -0.5f, 1.111f, 9.999f, -11.0f},
     0,
     true},
    {"decimal, one character too many",
     0,
     DEC_OK + "7",
     EC_AIN_LENGTH,
     EC_AIN_LENGTH,
     {5.123f, -10.5f, 0.0f, 22.0f, -0.5f, 1.111f, 9.999f, -11.0f},
     0,
     true},
    // A field that stops early has no value; the reply is no clean read.
    {"decimal, last field malformed",
     0,
     ">+05.123-10.500+00.000+22.000-00.500+01.111+09.999+05.1X3",
     EC_AIN_LENGTH,
     EC_AIN_LENGTH,
     {5.123f, -10.5f, 0.0f, 22.0f, -0.5f, 1.111f, 9.999f, 5.1f},
     0x80,
     true},
    {"decimal, first field malformed shifts the rest",
     0,
     ">+05.1X3-10.500+00.000+22.000-00.500+01.111+09.999-11.000",
     EC_AIN_LENGTH,
     EC_AIN_LENGTH,
     {5.1f, 0, 0, 0, 0, 0, 0, 0},
     0xFF,
     true},
    {"decimal, short reply",
     0,
     ">+05.123-10.500",
     EC_AIN_LENGTH,
     EC_AIN_LENGTH,
     {5.123f, -10.5f, 0, 0, 0, 0, 0, 0},
     0xFC,
     true},
    {"hex, eight good fields", 2, HEX_OK, EC_OK, EC_OK, {0, 65535, 32767, 32768, 0x1234, 1, 0x0ABC, 65534}, 0, true},
    {"hex, a field without value",
     2,
     ">00010002-FFFF00030004000500060007",
     EC_AIN_LENGTH,
     EC_AIN_LENGTH,
     {1, 2, 0, 3, 4, 5, 6, 7},
     0x04,
     true},
    {"hex, a field that is no hex number",
     2,
     ">000112G4000200030004000500060007",
     EC_AIN_LENGTH,
     EC_AIN_LENGTH,
     {1, -1, 2, 3, 4, 5, 6, 7},
     0x02,
     true},
    {"hex, reply too long", 2, ">" + std::string(41, '0'), EC_BAD_FORMAT, EC_BAD_FORMAT, {}, 255, false},
    {"hex, longest reply still decoded",
     2,
     ">" + std::string(40, '0'),
     EC_AIN_LENGTH,
     EC_AIN_LENGTH,
     {0, 0, 0, 0, 0, 0, 0, 0},
     0,
     true},
    {"carriage return alone", 0, "", EC_AIN_LENGTH, EC_BAD_LENGTH, {0, 0, 0, 0, 0, 0, 0, 0}, 0xFF, true},
};

// The reply as it arrives: body, checksum when on, carriage return.  A
// bare carriage return carries no checksum.
std::string wire(const std::string &body, bool cs) { return body.empty() ? "\r" : t::framed(body, cs); }

TEST_P(Analog, RepliesAreDecodedIntoAinAndErrChan)
{
    for (bool i7018 : {false, true}) {
        for (const ReplyCase &c : REPLY_CASES) {
            SCOPED_TRACE(std::string(i7018 ? "I7018: " : "I7017: ") + c.what);
            ERRCODE ec = cs() ? c.ecChecksum : c.ec;
            bool delivered = c.delivered && ec != EC_BAD_LENGTH;
            AinRig r;
            bool isfloat = c.format != 2;
            t::reply(wire(c.body, cs()));
            scommClearLog();
            EXPECT_EQ(readAnalog(i7018, r, 3, c.format, isfloat), FALSE);
            EXPECT_EQ(t::writes(), std::vector<std::string>{t::framed("#03", cs())});
            EXPECT_EQ(r.err, static_cast<int16_t>(ec));
            EXPECT_EQ(r.chan, i7018 ? (delivered ? c.errChan : 255) : GUARD);
            if (isfloat) {
                EXPECT_TRUE(r.wordsUntouched());
                for (int i = 0; i < 8; ++i)
                    EXPECT_EQ(r.f[i], delivered ? c.values[i] : FGUARD) << "channel " << i;
            } else {
                EXPECT_TRUE(r.floatsUntouched());
                for (int i = 0; i < 8; ++i) {
                    int16_t want = delivered ? static_cast<int16_t>(static_cast<int32_t>(c.values[i]) & 0xFFFF) : GUARD;
                    EXPECT_EQ(r.w[i], want) << "channel " << i;
                }
            }
        }
    }
}

TEST_P(Analog, ProtocolFailuresLeaveAinUntouched)
{
    struct Case {
        const char *what;
        std::string wire;
        ERRCODE ec;
    } cases[] = {
        {"no reply", "", EC_TIMEOUT},
        {"refused", "?03\r", EC_REFUSED},
        {"reply over 80 characters", ">" + std::string(80, '1') + "\r", EC_BAD_LENGTH},
        {"wrong checksum", DEC_OK + (t::sum(DEC_OK) == "00" ? "01" : "00") + "\r", EC_BAD_CHECKSUM},
    };
    for (bool i7018 : {false, true}) {
        for (const Case &c : cases) {
            if (c.ec == EC_BAD_CHECKSUM && !cs())
                continue;
            SCOPED_TRACE(std::string(i7018 ? "I7018: " : "I7017: ") + c.what);
            AinRig r;
            if (c.wire.empty())
                t::silence();
            else
                t::reply(c.wire);
            EXPECT_EQ(readAnalog(i7018, r, 3, 0, true), FALSE);
            EXPECT_EQ(r.err, static_cast<int16_t>(c.ec));
            EXPECT_EQ(r.chan, i7018 ? 255 : GUARD);
            EXPECT_TRUE(r.floatsUntouched());
        }
    }
    scommSetWriteResult(0);
    AinRig r;
    readAnalog(true, r, 3, 2, false);
    EXPECT_EQ(r.err, static_cast<int16_t>(EC_WRITE_FAILED));
    EXPECT_EQ(r.chan, 255);
    EXPECT_TRUE(r.wordsUntouched());
}

// ---------------------------------------------------------------------------
// I7024.

struct AoutCase {
    int16_t addr, chan;
    float value;
    ERRCODE ec;
    const char *line; // sent before checksum, or null for no traffic
};

const float NOT_A_NUMBER = std::numeric_limits<float>::quiet_NaN();
const float INF = std::numeric_limits<float>::infinity();

const AoutCase AOUT_CASES[] = {
    {300, 4, 100.0f, EC_BAD_ADDRESS, nullptr},  {-1, 0, 0.0f, EC_BAD_ADDRESS, nullptr},
    {5, 4, 100.0f, EC_BAD_CHANNEL, nullptr}, // channel before value
    {5, -1, 0.0f, EC_BAD_CHANNEL, nullptr},     {5, 3, 22.5f, EC_BAD_AOUT, nullptr},
    {5, 3, -11.5f, EC_BAD_AOUT, nullptr},       {5, 0, std::nextafter(22.0f, 23.0f), EC_BAD_AOUT, nullptr},
    {5, 0, NOT_A_NUMBER, EC_BAD_AOUT, nullptr}, {5, 0, INF, EC_BAD_AOUT, nullptr},
    {5, 0, -INF, EC_BAD_AOUT, nullptr},         {5, 0, 22.0f, EC_OK, "#050+22.000"},
    {5, 3, -11.0f, EC_OK, "#053-11.000"},       {2, 1, 5.0f, EC_OK, "#021+05.000"},
    {255, 2, 1.23456f, EC_OK, "#FF2+01.235"},   {10, 0, -0.0f, EC_OK, "#0A0-00.000"},
    {0, 0, -0.5f, EC_OK, "#000-00.500"},
};

TEST_P(Analog, AnalogOutputChecksAndLine)
{
    for (const AoutCase &c : AOUT_CASES) {
        SCOPED_TRACE(std::to_string(c.addr) + "/" + std::to_string(c.chan) + "/" + std::to_string(c.value));
        int16_t err = GUARD;
        TLIPARAM p[4] = {t::wordIn(c.addr), t::wordIn(c.chan), t::floatIn(c.value), t::wordOut(&err)};
        t::reply(t::framed(">", cs()));
        scommClearLog();
        EXPECT_EQ(I7024(1, 4, p), FALSE);
        EXPECT_EQ(err, static_cast<int16_t>(c.ec));
        if (c.line) {
            EXPECT_EQ(t::writes(), std::vector<std::string>{t::framed(c.line, cs())});
        } else {
            EXPECT_EQ(t::commLog(), "");
        }
        scommReset();
    }
}

TEST_P(Analog, AnalogOutputReadsTheFloatWhateverIsfloatSays)
{
    int16_t err = GUARD;
    TLIPARAM p[4] = {t::wordIn(2), t::wordIn(1), t::floatIn(5.0f), t::wordOut(&err)};
    p[2].isfloat = FALSE;
    t::reply(t::framed(">", cs()));
    I7024(1, 4, p);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(t::lastWrite(), cs() ? "#021+05.00004\r" : "#021+05.000\r");
}

TEST_P(Analog, AnalogOutputReplyFailures)
{
    struct Case {
        std::string wire;
        ERRCODE ec;
    } cases[] = {
        {"!05\r", EC_BANG},
        {"?05\r", EC_REFUSED},
        {t::framed(">0", cs()), EC_BAD_LENGTH},
        {"", EC_TIMEOUT},
        {cs() ? ">3F\r" : "", cs() ? EC_BAD_CHECKSUM : EC_TIMEOUT},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.wire);
        int16_t err = GUARD;
        TLIPARAM p[4] = {t::wordIn(5), t::wordIn(0), t::floatIn(1.0f), t::wordOut(&err)};
        if (c.wire.empty())
            t::silence();
        else
            t::reply(c.wire);
        I7024(1, 4, p);
        EXPECT_EQ(err, static_cast<int16_t>(c.ec));
    }
}

INSTANTIATE_TEST_SUITE_P(Checksum, Analog, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &i) { return i.param ? "On" : "Off"; });

// With the debug option a failure is traced with the address; 1018 too,
// after the count trace of the read.
class AnalogDebug : public ModuleTest {
protected:
    const char *options() override { return "TIMEOUT=200 DEBUG"; }
};

TEST_F(AnalogDebug, UnexpectedLengthIsTracedAfterTheValuesAreDelivered)
{
    AinRig r;
    t::reply(DEC_OK + "7\r");
    readAnalog(true, r, 7, 0, true);
    EXPECT_EQ(r.err, static_cast<int16_t>(EC_AIN_LENGTH));
    EXPECT_EQ(r.chan, 0);
    EXPECT_EQ(r.f[0], 5.123f);
    EXPECT_EQ(t::console(), "\nrec: cnt=58 sts=   0 \n\tstr=" + DEC_OK + "7" + "\n addr=7  ec=1018");
}

} // namespace
