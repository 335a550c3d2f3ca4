// The call convention shared by all fifteen instructions: the rung test,
// the I/O gate, the address check, the debug trace, the "ErrCode:" store
// and the FALSE result.  Every output operand starts with a guard value so
// that anything written where it should not be shows up.
#include "support.h"

namespace {

constexpr int16_t GUARD = 0x5A5A;
constexpr float FGUARD = -123.25f;

// Storage for the output operands of one call.  w[0] is always "ErrCode:",
// w[1] the second word output if any ("ErrChan:", "DIN:", "Status:" or a
// word "Count:"), f the float "AIN:" array or float "Count:".
struct Rig {
    int16_t w[4];
    float f[8];
    Rig() { reset(); }
    void reset()
    {
        for (int16_t &x : w)
            x = GUARD;
        for (float &x : f)
            x = FGUARD;
    }
    bool untouched(int from) const
    {
        for (int i = from; i < 4; ++i)
            if (w[i] != GUARD)
                return false;
        for (float x : f)
            if (x != FGUARD)
                return false;
        return true;
    }
};

typedef std::vector<TLIPARAM> (*Make)(Rig &, TLIPARAM addr);

struct Instr {
    const char *name;
    TLIPTR fn;
    bool hasAddr;
    Make make;
    // A successful call at address 5: the replies and the lines sent.
    std::vector<std::string> replies;
    std::vector<std::string> sent;
    int firstOutputKept; // index in w[] from which outputs stay unchanged on a failure
};

const std::string AIN_OK = ">" + std::string("+01.000+01.000+01.000+01.000+01.000+01.000+01.000+01.000");

const std::vector<Instr> &instructions()
{
    static const std::vector<Instr> all = {
        {"I7017",
         I7017,
         true,
         [](Rig &r, TLIPARAM a) {
             return std::vector<TLIPARAM>{a, t::wordIn(0), t::floatOut(r.f), t::wordOut(&r.w[0])};
         },
         {AIN_OK + "\r"},
         {"#05\r"},
         1},
        {"I7018",
         I7018,
         true,
         [](Rig &r, TLIPARAM a) {
             return std::vector<TLIPARAM>{a, t::wordIn(1), t::floatOut(r.f), t::wordOut(&r.w[0]), t::wordOut(&r.w[1])};
         },
         {AIN_OK + "\r"},
         {"#05\r"},
         2},
        {"I7024",
         I7024,
         true,
         [](Rig &r, TLIPARAM a) {
             return std::vector<TLIPARAM>{a, t::wordIn(0), t::floatIn(1.0f), t::wordOut(&r.w[0])};
         },
         {">\r"},
         {"#050+01.000\r"},
         1},
        {"I7041",
         I7041,
         true,
         [](Rig &r, TLIPARAM a) {
             return std::vector<TLIPARAM>{a, t::wordIn(0), t::wordOut(&r.w[1]), t::wordOut(&r.w[0])};
         },
         {">0000\r"},
         {"@05\r"},
         1},
        {"I7043",
         I7043,
         true,
         [](Rig &r, TLIPARAM a) {
             return std::vector<TLIPARAM>{a, t::wordIn(0), t::wordOut(&r.w[0])};
         },
         {">\r"},
         {"@050000\r"},
         1},
        {"I7052",
         I7052,
         true,
         [](Rig &r, TLIPARAM a) {
             return std::vector<TLIPARAM>{a, t::wordOut(&r.w[1]), t::wordOut(&r.w[0])};
         },
         {">0000\r"},
         {"@05\r"},
         1},
        {"I7053",
         I7053,
         true,
         [](Rig &r, TLIPARAM a) {
             return std::vector<TLIPARAM>{a, t::wordIn(0), t::wordOut(&r.w[1]), t::wordOut(&r.w[0])};
         },
         {">0000\r"},
         {"@05\r"},
         1},
        {"I7060",
         I7060,
         true,
         [](Rig &r, TLIPARAM a) {
             return std::vector<TLIPARAM>{a, t::wordIn(0), t::wordOut(&r.w[1]), t::wordOut(&r.w[0])};
         },
         {">\r", ">000F\r"},
         {"@050\r", "@05\r"},
         1},
        {"I7065",
         I7065,
         true,
         [](Rig &r, TLIPARAM a) {
             return std::vector<TLIPARAM>{a, t::wordIn(0), t::wordOut(&r.w[1]), t::wordOut(&r.w[0])};
         },
         {">\r", ">000F\r"},
         {"@0500\r", "@05\r"},
         1},
        {"I7RDC",
         I7RDC,
         true,
         [](Rig &r, TLIPARAM a) {
             return std::vector<TLIPARAM>{a, t::wordIn(0), t::floatOut(r.f), t::wordOut(&r.w[0])};
         },
         {"!0500000\r"},
         {"#050\r"},
         1},
        {"I7CDC",
         I7CDC,
         true,
         [](Rig &r, TLIPARAM a) {
             return std::vector<TLIPARAM>{a, t::wordIn(0), t::wordOut(&r.w[0])};
         },
         {"!05\r"},
         {"$05C0\r"},
         1},
        {"I7RSMS",
         I7RSMS,
         true,
         [](Rig &r, TLIPARAM a) {
             return std::vector<TLIPARAM>{a, t::wordOut(&r.w[0])};
         },
         {"!05\r"},
         {"~051\r"},
         1},
        {"I7RDMS",
         I7RDMS,
         true,
         [](Rig &r, TLIPARAM a) {
             return std::vector<TLIPARAM>{a, t::wordOut(&r.w[1]), t::wordOut(&r.w[0])};
         },
         {"!0500\r"},
         {"~050\r"},
         1},
        {"I7SHWV",
         I7SHWV,
         true,
         [](Rig &r, TLIPARAM a) {
             return std::vector<TLIPARAM>{a, t::wordIn(0), t::wordOut(&r.w[0])};
         },
         {"!05\r"},
         {"~053100\r"},
         1},
        {"I7HOK",
         I7HOK,
         false,
         [](Rig &r, TLIPARAM) { return std::vector<TLIPARAM>{t::wordOut(&r.w[0])}; },
         {},
         {"~**\r"},
         1},
    };
    return all;
}

class Convention : public ModuleTest {
protected:
    const char *options() override { return "TIMEOUT=200 DEBUG"; }

    BOOL call(const Instr &in, int32_t rung, TLIPARAM addr)
    {
        params = in.make(rig, addr);
        return in.fn(rung, static_cast<int32_t>(params.size()), params.data());
    }
    // The replies of a successful call; the "!" replies repeat the address,
    // so they are given the one the call sends.
    void script(const Instr &in, const char *hex = "05")
    {
        for (std::string r : in.replies) {
            if (r[0] == '!')
                r.replace(1, 2, hex);
            t::reply(r);
        }
    }

    Rig rig;
    std::vector<TLIPARAM> params;
};

TEST_F(Convention, FalseRungDoesNothingAtAll)
{
    for (const Instr &in : instructions()) {
        SCOPED_TRACE(in.name);
        rig.reset();
        script(in);
        EXPECT_EQ(call(in, 0, t::wordIn(5)), FALSE);
        EXPECT_EQ(rig.w[0], GUARD);
        EXPECT_TRUE(rig.untouched(1));
        EXPECT_EQ(t::commLog(), "");
        // A bad address is not even checked on a false rung.
        EXPECT_EQ(call(in, 0, t::wordIn(256)), FALSE);
        EXPECT_EQ(rig.w[0], GUARD);
        EXPECT_EQ(t::commLog(), "");
        EXPECT_EQ(t::console(), "");
        scommReset();
    }
}

// Mode 1, 0 and -1 close the gate unless TopDoc is set; any other mode
// opens it.
TEST_F(Convention, IoGate)
{
    struct Case {
        uint32_t initFlags;
        int32_t mode;
        bool open;
    } cases[] = {
        {0, 1, false},    {0, 0, false}, {0, -1, false}, {0, 2, true},  {0, -2, true},
        {0, 12345, true}, {1, 1, true},  {1, 0, true},   {1, -1, true}, {1, 2, true},
    };
    for (const Case &c : cases) {
        for (const Instr &in : instructions()) {
            SCOPED_TRACE(std::string(in.name) + " flags " + std::to_string(c.initFlags) + " mode " +
                         std::to_string(c.mode));
            ASSERT_EQ(t::init("TIMEOUT=200 DEBUG", c.initFlags), EC_OK);
            t::setMode(c.mode);
            t::console();
            scommClearLog();
            rig.reset();
            rig.w[0] = static_cast<int16_t>(EC_TIMEOUT);
            script(in);
            EXPECT_EQ(call(in, 1, t::wordIn(5)), FALSE);
            if (c.open) {
                EXPECT_EQ(t::writes(), in.sent);
                EXPECT_EQ(rig.w[0], 0);
            } else {
                EXPECT_EQ(t::commLog(), "");
                EXPECT_EQ(rig.w[0], static_cast<int16_t>(EC_TIMEOUT));
                EXPECT_TRUE(rig.untouched(1));
            }
            scommReset();
        }
    }
}

TEST_F(Convention, TheGateIsClosedAfterInitUntilAModeOpensIt)
{
    t::freshModule(); // as loaded: Mode 1, TopDoc 0
    ASSERT_EQ(t::init("TIMEOUT=200"), EC_OK);
    scommClearLog();
    const Instr &in = instructions()[4]; // I7043
    EXPECT_EQ(call(in, 1, t::wordIn(5)), FALSE);
    EXPECT_EQ(t::commLog(), "");
    EXPECT_EQ(rig.w[0], GUARD);
    t::setMode(2);
    script(in);
    EXPECT_EQ(call(in, 1, t::wordIn(5)), FALSE);
    EXPECT_EQ(t::writes(), in.sent);
    EXPECT_EQ(rig.w[0], 0);
}

// Only the first two bytes of an input operand count, sign-extended.
TEST_F(Convention, AddressCheck)
{
    struct Case {
        uint32_t raw; // the whole val field
        bool valid;
        const char *trace;
        const char *hex;
    } cases[] = {
        {256, false, "\n addr=256  ec=1007", nullptr},
        {0xFFFF, false, "\n addr=-1  ec=1007", nullptr},
        {0x8000, false, "\n addr=-32768  ec=1007", nullptr},
        {0x7FFF, false, "\n addr=32767  ec=1007", nullptr},
        {0x00010000, true, nullptr, "00"}, // upper half ignored: address 0
        {255, true, nullptr, "FF"},
        {0xABCD000A, true, nullptr, "0A"},
    };
    for (const Case &c : cases) {
        for (const Instr &in : instructions()) {
            if (!in.hasAddr)
                continue;
            SCOPED_TRACE(std::string(in.name) + " address word " + std::to_string(c.raw));
            rig.reset();
            TLIPARAM a = t::wordIn(0);
            a.val.hls = c.raw;
            a.ptr.wptr = &rig.w[3]; // never read or written
            a.isfloat = TRUE;
            script(in, c.hex ? c.hex : "05");
            EXPECT_EQ(call(in, 1, a), FALSE);
            if (!c.valid) {
                EXPECT_EQ(rig.w[0], static_cast<int16_t>(EC_BAD_ADDRESS));
                if (in.fn == I7018) {
                    EXPECT_EQ(rig.w[1], 255);
                }
                EXPECT_TRUE(rig.untouched(in.firstOutputKept));
                EXPECT_EQ(t::commLog(), "");
                EXPECT_EQ(t::console(), c.trace);
            } else {
                std::vector<std::string> w = t::writes();
                ASSERT_FALSE(w.empty());
                for (const std::string &line : w)
                    EXPECT_EQ(line.substr(1, 2), c.hex);
                EXPECT_EQ(rig.w[0], 0);
                EXPECT_EQ(rig.w[3], GUARD);
                EXPECT_EQ(t::console().find("addr="), std::string::npos);
            }
            scommReset();
        }
    }
}

// A module that does not answer: 1005, outputs untouched, the trace with
// the address; I7HOK's queue that never drains gives 1005 silently.
TEST_F(Convention, TimeOutIsReportedAndTraced)
{
    for (const Instr &in : instructions()) {
        SCOPED_TRACE(in.name);
        rig.reset();
        if (!in.hasAddr)
            scommSetXmitDrain(-1);
        EXPECT_EQ(call(in, 1, t::wordIn(5)), FALSE);
        EXPECT_EQ(rig.w[0], static_cast<int16_t>(EC_TIMEOUT));
        if (in.fn == I7018) {
            EXPECT_EQ(rig.w[1], 255);
        }
        EXPECT_TRUE(rig.untouched(in.firstOutputKept));
        EXPECT_EQ(t::writes(), std::vector<std::string>{in.sent[0]}); // I7060/65: no read after a failed write
        EXPECT_EQ(t::console(), in.hasAddr ? "\n addr=5  ec=1005" : "");
        scommReset();
    }
}

// A successful call stores 0 over whatever "ErrCode:" held and traces nothing.
TEST_F(Convention, SuccessStoresZeroWithoutTrace)
{
    for (const Instr &in : instructions()) {
        SCOPED_TRACE(in.name);
        rig.reset();
        script(in);
        EXPECT_EQ(call(in, 1, t::wordIn(5)), FALSE);
        EXPECT_EQ(rig.w[0], 0);
        EXPECT_EQ(t::writes(), in.sent);
        EXPECT_EQ(t::console().find("addr="), std::string::npos);
        // No edge detection: the next scan repeats the exchange.
        scommClearLog();
        rig.w[0] = GUARD;
        script(in);
        call(in, 1, t::wordIn(5));
        EXPECT_EQ(t::writes(), in.sent);
        EXPECT_EQ(rig.w[0], 0);
        scommReset();
    }
}

// Without the debug option no failure prints anything.
class ConventionQuiet : public Convention {
protected:
    const char *options() override { return "TIMEOUT=200"; }
};

TEST_F(ConventionQuiet, FailuresAreSilentWithoutDebug)
{
    for (const Instr &in : instructions()) {
        SCOPED_TRACE(in.name);
        call(in, 1, t::wordIn(-1));
        if (!in.hasAddr)
            scommSetXmitDrain(-1);
        call(in, 1, t::wordIn(5));
        EXPECT_EQ(rig.w[0], static_cast<int16_t>(EC_TIMEOUT));
        EXPECT_EQ(t::console(), "");
        scommReset();
    }
}

} // namespace
