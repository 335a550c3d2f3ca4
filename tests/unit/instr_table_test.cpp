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
#include <map>

#include "catalogue.h"
#include "exchange_text.h"

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

// Every instruction holds to the catalogue: with checksums off and on it
// sends the command lines the catalogue renders, in its order, and takes
// the catalogue's model replies (placeholders filled with varied digits)
// as success.  One row per instruction, in the list's order: the values of
// its input operands by label.
struct CatalogueRow {
    const char *name;
    std::map<std::string, double> inputs;
};

const CatalogueRow CATALOGUE_ROWS[] = {
    {"I7017", {{"Addr:", 1}, {"Format:", 0}}},
    {"I7018", {{"Addr:", 0x2F}, {"Format:", 2}}},
    {"I7024", {{"Addr:", 3}, {"Chan:", 2}, {"AOUT:", -10.5}}},
    {"I7041", {{"Addr:", 0x41}, {"XORmask:", 0}}},
    {"I7043", {{"Addr:", 0xC3}, {"DOUT:", -16657}}}, // 0xBEEF
    {"I7052", {{"Addr:", 6}}},
    {"I7053", {{"Addr:", 7}, {"XORmask:", 0xFFFF}}},
    {"I7060", {{"Addr:", 8}, {"DOUT:", 0x37}}},
    {"I7065", {{"Addr:", 9}, {"DOUT:", 0xFF}}},
    {"I7RDC", {{"Addr:", 0x10}, {"Chan:", 11}}},
    {"I7CDC", {{"Addr:", 0x11}, {"Chan:", 15}}},
    {"I7RSMS", {{"Addr:", 0x12}}},
    {"I7RDMS", {{"Addr:", 0xFE}}},
    {"I7SHWV", {{"Addr:", 0x14}, {"HSecs:", 0xA5}}},
    {"I7HOK", {}},
};

// A model reply with its placeholders filled: hex digits and decimal digits
// that change from one position to the next.
std::string filled(const std::string &model)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string s = model;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == 'h')
            s[i] = hex[(i * 7) % 16];
        else if (s[i] == 'd')
            s[i] = static_cast<char>('1' + i % 9);
    }
    return s;
}

TEST(InstructionTable, EachInstructionSendsAndTakesWhatTheCatalogueSays)
{
    ASSERT_EQ(std::size(CATALOGUE_ROWS), static_cast<size_t>(INSTRUCTION_COUNT));
    for (int i = 0; i < INSTRUCTION_COUNT; ++i) {
        const CatalogueRow &row = CATALOGUE_ROWS[i];
        const catalogue::Instruction &ins = catalogue::instructions[i];
        const FUNCDEF &f = function_table[i];
        ASSERT_STREQ(ins.name, row.name);
        ASSERT_STREQ(f.fnc_name, row.name);
        const wire::OperandValues values = [&row](const char *label) {
            auto v = row.inputs.find(label);
            return v == row.inputs.end() ? 0.0 : v->second;
        };
        for (bool cs : {false, true}) {
            SCOPED_TRACE(std::string(row.name) + (cs ? ", checksum on" : ", checksum off"));
            t::freshModule();
            // A time-out that covers the longest reply on the virtual clock
            // (a millisecond for each poll of the receive queue).
            ASSERT_EQ(t::init(cs ? "TIMEOUT=200 CHECKSUM" : "TIMEOUT=200"), EC_OK);
            t::setMode(2);
            scommClearLog();

            std::vector<std::string> lines;
            for (int e = 0; e < ins.does.exchangeCount; ++e) {
                const catalogue::Exchange &x = ins.does.exchanges[e];
                lines.push_back(wire::commandLine(x, values, cs));
                std::string body = wire::replyBody(x, values);
                if (!body.empty())
                    t::reply(t::framed(filled(body), cs));
            }

            // The operands as the host passes them, by kind; the analog
            // read's array is a word array for the hex form.
            int16_t words[9][AIN_CHANNELS] = {};
            float floats[9][AIN_CHANNELS] = {};
            std::vector<TLIPARAM> params;
            int errCode = -1;
            for (int p = 0; p < f.fnc_numargs; ++p) {
                const PARMDEF &d = f.p[p];
                double v = values(d.prm_name);
                if (d.prm_argtype == ARG_WORD_IN)
                    params.push_back(t::wordIn(static_cast<int16_t>(v)));
                else if (d.prm_argtype == ARG_FLOAT_IN)
                    params.push_back(t::floatIn(static_cast<float>(v)));
                else if (d.prm_argtype == ARG_ARRAY_OUT && values("Format:") == 2)
                    params.push_back(t::wordOut(words[p]));
                else if (d.prm_argtype == ARG_ARRAY_OUT || d.prm_argtype == ARG_NUM_OUT)
                    params.push_back(t::floatOut(floats[p]));
                else
                    params.push_back(t::wordOut(words[p]));
                if (strcmp(d.prm_name, "ErrCode:") == 0)
                    errCode = p;
            }
            ASSERT_GE(errCode, 0);
            words[errCode][0] = -1;

            f.fnc_ptr(1, f.fnc_numargs, params.data());
            EXPECT_EQ(t::writes(), lines);
            EXPECT_EQ(words[errCode][0], 0);
            EXPECT_EQ(scommPending(), 0) << "a model reply was left unread";
        }
    }
    t::freshModule();
}

} // namespace
