// The exported instruction table, compared byte for byte with the layout the
// host reads: sixteen 172-byte entries (the last all zero), packed,
// little-endian, with a 32-bit function pointer at offset 48.
//
// The expected image is built here from the list of instructions below, not
// from the module's declarations.  On the native build the pointer field is
// wider, so the actual table is turned into the 172-byte form by copying
// everything but the pointer; the pointers are checked separately.
#include "support.h"

#include <cstddef>

namespace {

constexpr size_t ENTRY = 172;
constexpr size_t ENTRIES = 16;
constexpr size_t PARM = 13;
constexpr size_t PTR_OFFSET = 48;

struct Param {
    const char *label;
    uint16_t kind;
    uint16_t len;
};

struct Entry {
    const char *name;
    const char *desc;
    TLIPTR fn;
    std::vector<Param> params;
};

const Param ADDR = {"Addr:", 0x0005, 1};
const Param FORMAT = {"Format:", 0x0005, 1};
const Param CHAN = {"Chan:", 0x0005, 1};
const Param XORMASK = {"XORmask:", 0x0005, 1};
const Param DOUT = {"DOUT:", 0x0005, 1};
const Param HSECS = {"HSecs:", 0x0005, 1};
const Param ERR_CODE = {"ErrCode:", 0x0006, 1};
const Param ERRCHAN = {"ErrChan:", 0x0006, 1};
const Param DIN = {"DIN:", 0x0006, 1};
const Param STATUS = {"Status:", 0x0006, 1};
const Param AOUT = {"AOUT:", 0x0009, 1};
const Param COUNT = {"Count:", 0x000e, 1};
const Param AIN = {"AIN:", 0x001e, 8};

const std::vector<Entry> &expectedEntries()
{
    static const std::vector<Entry> entries = {
        {"I7017", "Read 8 Analog Inputs", I7017, {ADDR, FORMAT, AIN, ERR_CODE}},
        {"I7018", "Read 8 TC Inputs", I7018, {ADDR, FORMAT, AIN, ERR_CODE, ERRCHAN}},
        {"I7024", "Write Analog Output", I7024, {ADDR, CHAN, AOUT, ERR_CODE}},
        {"I7041", "Read Digital Inputs", I7041, {ADDR, XORMASK, DIN, ERR_CODE}},
        {"I7043", "Write Digital Outputs", I7043, {ADDR, DOUT, ERR_CODE}},
        {"I7052", "Read Digital Inputs", I7052, {ADDR, DIN, ERR_CODE}},
        {"I7053", "Read Digital Inputs", I7053, {ADDR, XORMASK, DIN, ERR_CODE}},
        {"I7060", "RD/WR Digital I/0", I7060, {ADDR, DOUT, DIN, ERR_CODE}},
        {"I7065", "RD/WR Digital I/0", I7065, {ADDR, DOUT, DIN, ERR_CODE}},
        {"I7RDC", "Read Digital Input Counter", I7RDC, {ADDR, CHAN, COUNT, ERR_CODE}},
        {"I7CDC", "Clear Digital Input Counter", I7CDC, {ADDR, CHAN, ERR_CODE}},
        {"I7RSMS", "Reset Module Status", I7RSMS, {ADDR, ERR_CODE}},
        {"I7RDMS", "Read Module Status", I7RDMS, {ADDR, STATUS, ERR_CODE}},
        {"I7SHWV", "Set Host WatchDog Value", I7SHWV, {ADDR, HSECS, ERR_CODE}},
        {"I7HOK", "Host OK", I7HOK, {ERR_CODE}},
    };
    return entries;
}

void putText(std::vector<uint8_t> &img, size_t at, const char *text, size_t field)
{
    size_t n = strlen(text);
    ASSERT_LT(n, field) << text;
    memcpy(&img[at], text, n);
}

void putWord(std::vector<uint8_t> &img, size_t at, uint16_t v)
{
    img[at] = static_cast<uint8_t>(v & 0xFF);
    img[at + 1] = static_cast<uint8_t>(v >> 8);
}

// The 2752 bytes the host expects, with the pointer slots left zero.
std::vector<uint8_t> expectedImage()
{
    std::vector<uint8_t> img(ENTRY * ENTRIES, 0);
    size_t e = 0;
    for (const Entry &entry : expectedEntries()) {
        size_t base = e++ * ENTRY;
        putText(img, base, entry.name, 16);
        putText(img, base + 16, entry.desc, 32);
        img[base + 52] = 0; // optional arguments
        img[base + 53] = 0; // type
        img[base + 54] = static_cast<uint8_t>(entry.params.size());
        for (size_t i = 0; i < entry.params.size(); ++i) {
            size_t p = base + 55 + i * PARM;
            putText(img, p, entry.params[i].label, 9);
            putWord(img, p + 9, entry.params[i].kind);
            putWord(img, p + 11, entry.params[i].len);
        }
    }
    return img;
}

// The module's table in the host's 172-byte form, pointer slots zero.
std::vector<uint8_t> actualImage()
{
    std::vector<uint8_t> img(ENTRY * ENTRIES, 0);
    const uint8_t *raw = reinterpret_cast<const uint8_t *>(function_table);
    const size_t native = sizeof(FUNCDEF);
    const size_t ptr = sizeof(TLIPTR);
    for (size_t e = 0; e < ENTRIES; ++e) {
        memcpy(&img[e * ENTRY], raw + e * native, PTR_OFFSET);
        memcpy(&img[e * ENTRY + PTR_OFFSET + 4], raw + e * native + PTR_OFFSET + ptr, ENTRY - PTR_OFFSET - 4);
    }
    return img;
}

TEST(InstructionTable, RecordLayoutIsPacked)
{
    EXPECT_EQ(sizeof(PARMDEF), PARM);
    EXPECT_EQ(sizeof(FUNCDEF), ENTRY - 4 + sizeof(TLIPTR));
    EXPECT_EQ(sizeof function_table, ENTRIES * sizeof(FUNCDEF));
    EXPECT_EQ(offsetof(FUNCDEF, fnc_desc), 16u);
    EXPECT_EQ(offsetof(FUNCDEF, fnc_ptr), PTR_OFFSET);
    EXPECT_EQ(offsetof(FUNCDEF, fnc_numargs), PTR_OFFSET + sizeof(TLIPTR) + 2);
    EXPECT_EQ(offsetof(FUNCDEF, p), PTR_OFFSET + sizeof(TLIPTR) + 3);
    EXPECT_EQ(offsetof(PARMDEF, prm_argtype), 9u);
    EXPECT_EQ(offsetof(PARMDEF, prm_len), 11u);
    EXPECT_EQ(sizeof(TLIPARAM), 8 + sizeof(void *));
    EXPECT_EQ(offsetof(TLIPARAM, ptr), 4u);
    EXPECT_EQ(offsetof(TLIPARAM, isfloat), 4 + sizeof(void *));
}

TEST(InstructionTable, MatchesTheHostLayoutByteForByte)
{
    std::vector<uint8_t> want = expectedImage();
    std::vector<uint8_t> got = actualImage();
    ASSERT_EQ(want.size(), 2752u);
    for (size_t i = 0; i < want.size(); ++i) {
        if (want[i] != got[i]) {
            ADD_FAILURE() << "first difference at byte " << i << " (entry " << i / ENTRY << ", offset " << i % ENTRY
                          << "): expected 0x" << std::hex << int(want[i]) << ", got 0x" << int(got[i]);
            break;
        }
    }
}

TEST(InstructionTable, EachEntryCallsTheFunctionOfItsName)
{
    const std::vector<Entry> &entries = expectedEntries();
    for (size_t e = 0; e < entries.size(); ++e) {
        EXPECT_STREQ(function_table[e].fnc_name, entries[e].name);
        EXPECT_EQ(function_table[e].fnc_ptr, entries[e].fn) << entries[e].name;
    }
}

TEST(InstructionTable, TerminatorIsAllZeroAndHostOkHasOneParameter)
{
    const uint8_t *last = reinterpret_cast<const uint8_t *>(&function_table[15]);
    for (size_t i = 0; i < sizeof(FUNCDEF); ++i)
        ASSERT_EQ(last[i], 0) << "byte " << i;
    EXPECT_EQ(function_table[15].fnc_ptr, nullptr);
    EXPECT_EQ(function_table[14].fnc_numargs, 1);
}

} // namespace
