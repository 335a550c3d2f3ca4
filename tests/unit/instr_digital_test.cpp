// The digital instructions: I7041, I7052, I7053 read, I7043 writes, I7060
// and I7065 write and then read back, with and without checksums.
#include "support.h"

namespace {

constexpr int16_t GUARD = 0x5A5A;

enum Layout {
    ADDR_X_DIN_ERR, // I7041, I7053 ("XORmask:"), I7060, I7065 ("DOUT:")
    ADDR_DOUT_ERR,  // I7043
    ADDR_DIN_ERR,   // I7052
};

struct Instr {
    const char *name;
    TLIPTR fn;
    Layout layout;
};

const Instr I41 = {"I7041", I7041, ADDR_X_DIN_ERR};
const Instr I43 = {"I7043", I7043, ADDR_DOUT_ERR};
const Instr I52 = {"I7052", I7052, ADDR_DIN_ERR};
const Instr I53 = {"I7053", I7053, ADDR_X_DIN_ERR};
const Instr I60 = {"I7060", I7060, ADDR_X_DIN_ERR};
const Instr I65 = {"I7065", I7065, ADDR_X_DIN_ERR};

struct Case {
    const Instr *in;
    int16_t operand;                  // "XORmask:" or "DOUT:" (unused for I7052)
    std::vector<std::string> replies; // bodies, framed per checksum setting; "" = no reply
    std::vector<std::string> sent;    // lines before checksum
    ERRCODE ec;
    int16_t din; // GUARD: left untouched
};

const std::vector<Case> &cases()
{
    static const std::vector<Case> all = {
        // I7041: fourteen bits after the sign-extended mask.
        {&I41, 0, {">3FFF"}, {"@05"}, EC_OK, 0x3FFF},
        {&I41, 0, {">FFFF"}, {"@05"}, EC_OK, 0x3FFF},
        {&I41, 1, {">0000"}, {"@05"}, EC_OK, 0x0001},
        {&I41, 1, {">00FF"}, {"@05"}, EC_OK, 0x00FE},
        {&I41, -1, {">0000"}, {"@05"}, EC_OK, 0x3FFF},
        {&I41, 0x4000, {">0000"}, {"@05"}, EC_OK, 0},
        {&I41, 0, {">12G4"}, {"@05"}, EC_BAD_LENGTH, GUARD},
        {&I41, 0, {">00FF0"}, {"@05"}, EC_BAD_LENGTH, GUARD},
        {&I41, 0, {"!0F0F"}, {"@05"}, EC_BAD_LENGTH, GUARD},
        {&I41, 0, {"?"}, {"@05"}, EC_REFUSED, GUARD},
        {&I41, 0, {""}, {"@05"}, EC_TIMEOUT, GUARD},
        // I7043: the whole word as four digits, negative as two's complement.
        {&I43, 0x1234, {">"}, {"@051234"}, EC_OK, GUARD},
        {&I43, -1, {">"}, {"@05FFFF"}, EC_OK, GUARD},
        {&I43, -32768, {">"}, {"@058000"}, EC_OK, GUARD},
        {&I43, 0x000F, {"!05"}, {"@05000F"}, EC_BANG, GUARD},
        {&I43, 0x000F, {">0"}, {"@05000F"}, EC_BAD_LENGTH, GUARD},
        // I7052: the first two digits.
        {&I52, 0, {">A500"}, {"@05"}, EC_OK, 0xA5},
        {&I52, 0, {">FFFF"}, {"@05"}, EC_OK, 0xFF},
        {&I52, 0, {">12G4"}, {"@05"}, EC_BAD_LENGTH, GUARD},
        // I7053: all sixteen bits.
        {&I53, -1, {">1234"}, {"@05"}, EC_OK, static_cast<int16_t>(0xEDCB)},
        {&I53, 0, {">FFFF"}, {"@05"}, EC_OK, -1},
        {&I53, 0x00FF, {">0F0F"}, {"@05"}, EC_OK, 0x0FF0},
        {&I53, 0, {">12G4"}, {"@05"}, EC_BAD_LENGTH, GUARD},
        // I7060: one digit out (bits 0 to 3 of DOUT AND 0x1F), last digit in, inverted.
        {&I60, 0x13, {">", ">000E"}, {"@053", "@05"}, EC_OK, 1},
        {&I60, 0x20, {">", ">FFF0"}, {"@050", "@05"}, EC_OK, 0x0F},
        {&I60, -1, {">", ">FFFF"}, {"@05F", "@05"}, EC_OK, 0},
        {&I60, 0x13, {"!05"}, {"@053"}, EC_BANG, GUARD},
        {&I60, 0x13, {""}, {"@053"}, EC_TIMEOUT, GUARD},
        {&I60, 0x13, {">", ">12G4"}, {"@053", "@05"}, EC_BAD_LENGTH, GUARD},
        {&I60, 0x13, {">", ""}, {"@053", "@05"}, EC_TIMEOUT, GUARD},
        // I7065: two digits out, bits 0 to 4.
        {&I65, 0x13, {">", ">000E"}, {"@0513", "@05"}, EC_OK, 1},
        {&I65, 0x20, {">", ">000F"}, {"@0500", "@05"}, EC_OK, 0},
        {&I65, -1, {">", ">0001"}, {"@051F", "@05"}, EC_OK, 0x0E},
        {&I65, 0x13, {"?"}, {"@0513"}, EC_REFUSED, GUARD},
        {&I65, 0x13, {">", "?"}, {"@0513", "@05"}, EC_REFUSED, GUARD},
    };
    return all;
}

class DigitalBase : public ModuleTest {
protected:
    BOOL call(const Instr &in, int16_t addr, int16_t operand)
    {
        std::vector<TLIPARAM> p;
        p.push_back(t::wordIn(addr));
        switch (in.layout) {
        case ADDR_X_DIN_ERR:
            p.push_back(t::wordIn(operand));
            p.push_back(t::wordOut(&din));
            break;
        case ADDR_DOUT_ERR:
            p.push_back(t::wordIn(operand));
            break;
        case ADDR_DIN_ERR:
            p.push_back(t::wordOut(&din));
            break;
        }
        p.push_back(t::wordOut(&err));
        return in.fn(1, static_cast<int32_t>(p.size()), p.data());
    }

    int16_t din = GUARD;
    int16_t err = GUARD;
};

class Digital : public DigitalBase, public ::testing::WithParamInterface<bool> {
protected:
    const char *options() override { return GetParam() ? "CHECKSUM" : nullptr; }
    bool cs() const { return GetParam(); }
};

class DigitalChecksum : public DigitalBase {
protected:
    const char *options() override { return "CHECKSUM"; }
};

std::string describe(const Case &c)
{
    std::string s = std::string(c.in->name) + " operand " + std::to_string(c.operand) + " replies";
    for (const std::string &r : c.replies)
        s += " [" + r + "]";
    return s;
}

TEST_P(Digital, WritesReadsAndStores)
{
    for (const Case &c : cases()) {
        SCOPED_TRACE(describe(c));
        din = GUARD;
        err = GUARD;
        for (const std::string &r : c.replies) {
            if (r.empty())
                t::silence();
            else
                t::reply(t::framed(r, cs()));
        }
        EXPECT_EQ(call(*c.in, 5, c.operand), FALSE);
        std::vector<std::string> want;
        for (const std::string &line : c.sent)
            want.push_back(t::framed(line, cs()));
        EXPECT_EQ(t::writes(), want);
        EXPECT_EQ(err, static_cast<int16_t>(c.ec));
        EXPECT_EQ(din, c.din);
        scommReset();
        scommClearLog();
    }
}

TEST_F(DigitalChecksum, WrongChecksumLeavesDinUntouched)
{
    for (const Instr *in : {&I41, &I52, &I53}) {
        SCOPED_TRACE(in->name);
        din = GUARD;
        t::reply(">00FF00\r");
        call(*in, 5, 0);
        EXPECT_EQ(err, static_cast<int16_t>(EC_BAD_CHECKSUM));
        EXPECT_EQ(din, GUARD);
    }
    // A write answered with a wrong checksum: no read follows.
    for (const Instr *in : {&I60, &I65}) {
        SCOPED_TRACE(in->name);
        din = GUARD;
        scommClearLog();
        t::reply(">00\r");
        call(*in, 5, 1);
        EXPECT_EQ(err, static_cast<int16_t>(EC_BAD_CHECKSUM));
        EXPECT_EQ(din, GUARD);
        EXPECT_EQ(t::writes().size(), 1u);
    }
}

TEST_P(Digital, SerialLibraryRefusingTheLineGives1010)
{
    scommSetWriteResult(0);
    for (const Instr *in : {&I41, &I43, &I52, &I53, &I60, &I65}) {
        SCOPED_TRACE(in->name);
        din = GUARD;
        scommClearLog();
        call(*in, 5, 1);
        EXPECT_EQ(err, static_cast<int16_t>(EC_WRITE_FAILED));
        EXPECT_EQ(din, GUARD);
        EXPECT_EQ(t::writes().size(), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(Checksum, Digital, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &i) { return i.param ? "On" : "Off"; });

class DigitalDebug : public ModuleTest {
protected:
    const char *options() override { return "DEBUG"; }
};

// The read prints the reply it stored, then the failure is traced.
TEST_F(DigitalDebug, MalformedInputWordIsTraced)
{
    int16_t din = GUARD, err = GUARD;
    TLIPARAM p[4] = {t::wordIn(9), t::wordIn(0), t::wordOut(&din), t::wordOut(&err)};
    t::reply(">12G4\r");
    I7053(1, 4, p);
    EXPECT_EQ(err, static_cast<int16_t>(EC_BAD_LENGTH));
    EXPECT_EQ(din, GUARD);
    EXPECT_EQ(t::console(), "\nrec: >12G4\n addr=9  ec=1008");
}

} // namespace
