// The digital and counter operations: what readDIO, writeDO, readDICounter
// and clearDICounter send, which replies they accept and what they decode;
// and readDIO's debug traces.
#include "support.h"

namespace {

constexpr int KEEP = 0x5A5A5A5A;

class ProtocolDigital : public ModuleTest {
protected:
    void SetUp() override
    {
        ModuleTest::SetUp();
        timeout = 200;
    }
};

struct DioCase {
    const char *reply; // before the checksum and the carriage return
    ERRCODE code;
    int word; // KEEP: not written
};

const DioCase DIO_CASES[] = {
    {">00FF", EC_OK, 255},
    {">0000", EC_OK, 0},
    {">FFFF", EC_OK, 65535},
    {">abcd", EC_OK, 0xABCD},
    {">12 4", EC_OK, 0x12},          // a blank ends the number
    {">00FF0", EC_BAD_LENGTH, KEEP}, // one character too many
    {">00F", EC_BAD_LENGTH, KEEP},
    {">", EC_BAD_LENGTH, KEEP},
    {"!0F0F", EC_BAD_LENGTH, KEEP}, // "!" and all after it dropped: nothing stored
    // Right length, but no hex word: a malformed reply.
    {">12G4", EC_BAD_LENGTH, KEEP},
    {"> 123", EC_BAD_LENGTH, KEEP},
    {">0 00", EC_BAD_LENGTH, KEEP},
    {">-001", EC_BAD_LENGTH, KEEP},
};

TEST_F(ProtocolDigital, ReadDIODecodesTheWord)
{
    for (BOOL cs : {FALSE, TRUE}) {
        useCheckSum = cs;
        for (const DioCase &c : DIO_CASES) {
            SCOPED_TRACE(std::string(c.reply) + (cs ? " with checksum" : ""));
            std::string r = c.reply;
            t::reply((cs ? r + t::sum(r) : r) + "\r");
            int word = KEEP;
            EXPECT_EQ(readDIO(5, &word), c.code);
            EXPECT_EQ(word, c.word);
        }
    }
    EXPECT_EQ(t::console(), "");
}

TEST_F(ProtocolDigital, WriteDOSendsTheLowDigitsOfItsWidth)
{
    struct {
        int addr, data, width;
        const char *line; // nullptr: refused, nothing sent
    } cases[] = {
        {10, 0x0F, 2, "@0A0F\r"}, {10, 0x0F, 4, "@0A000F\r"},   {1, 0x1F, 1, "@01F\r"}, {1, 0xABC, 3, "@01ABC\r"},
        {1, -1, 4, "@01FFFF\r"},  {1, 0x12345, 4, "@012345\r"}, {255, 0, 1, "@FF0\r"},  {1, 5, 0, nullptr},
        {1, 5, 5, nullptr},       {1, 5, -2, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.width);
        scommClearLog();
        if (c.line) {
            t::reply(">\r");
            EXPECT_EQ(writeDO(c.addr, c.data, c.width), EC_OK);
            EXPECT_EQ(t::lastWrite(), c.line);
        } else {
            EXPECT_EQ(writeDO(c.addr, c.data, c.width), EC_BAD_WIDTH);
            EXPECT_EQ(t::commLog(), "") << "nothing sent, no queue touched";
        }
    }
}

TEST_F(ProtocolDigital, WriteDOReplies)
{
    struct {
        BOOL cs;
        const char *reply;
        ERRCODE code;
    } cases[] = {
        {FALSE, ">\r", EC_OK},           {FALSE, "xx>\r", EC_OK},          {FALSE, ">>\r", EC_BAD_LENGTH},
        {FALSE, ">3E\r", EC_BAD_LENGTH}, {FALSE, "!>\r", EC_BANG},         {FALSE, "?>\r", EC_REFUSED},
        {TRUE, ">3E\r", EC_OK},          {TRUE, ">3e\r", EC_BAD_CHECKSUM}, {TRUE, ">\r", EC_BAD_LENGTH},
        {TRUE, ">3E0\r", EC_BAD_LENGTH},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.reply);
        useCheckSum = c.cs;
        t::reply(c.reply);
        EXPECT_EQ(writeDO(1, 1, 1), c.code);
    }
}

TEST_F(ProtocolDigital, ReadDICounter)
{
    struct {
        int chan;
        const char *line;  // sent, before the checksum
        const char *reply; // before the checksum
        ERRCODE code;
        unsigned count;
    } cases[] = {
        {0, "#010", "!0100123", EC_OK, 0x123},
        {15, "#01F", "!01FFFFF", EC_OK, 0xFFFFF},
        {0x1A, "#01A", "!0100000", EC_OK, 0},
        {1, "#011", "!FF00001", EC_BAD_LENGTH, KEEP}, // another module's reply
        {1, "#011", ">!0100009", EC_OK, 9},           // ">" before the start dropped
        {1, "#011", "!01001234", EC_BAD_LENGTH, KEEP},
        {1, "#011", "!010012", EC_BAD_LENGTH, KEEP},
        {1, "#011", ">0100123", EC_BAD_LENGTH, KEEP},
        // Right length, not a hex count: malformed.
        {1, "#011", "!0100G23", EC_BAD_LENGTH, KEEP},
        {1, "#011", "!01 0123", EC_BAD_LENGTH, KEEP},
    };
    for (BOOL cs : {FALSE, TRUE}) {
        useCheckSum = cs;
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string(c.reply) + (cs ? " with checksum" : ""));
            std::string r = c.reply;
            std::string sent = c.line;
            t::reply((cs ? r + t::sum(r.substr(r.find('!') == std::string::npos ? 0 : r.find('!'))) : r) + "\r");
            unsigned count = KEEP;
            EXPECT_EQ(readDICounter(1, c.chan, &count), c.code);
            EXPECT_EQ(count, c.count);
            EXPECT_EQ(t::lastWrite(), (cs ? sent + t::sum(sent) : sent) + "\r");
        }
    }
}

TEST_F(ProtocolDigital, ClearDICounter)
{
    struct {
        BOOL cs;
        int chan;
        const char *reply;
        ERRCODE code;
    } cases[] = {
        {FALSE, 0, "!01\r", EC_OK},          {FALSE, 0, ">01\r", EC_BAD_LENGTH}, {FALSE, 0, ">!01\r", EC_OK},
        {FALSE, 0, "!010\r", EC_BAD_LENGTH}, {TRUE, 0, "!0182\r", EC_OK},        {TRUE, 0, "!0128\r", EC_BAD_CHECKSUM},
        {TRUE, 0, "!01\r", EC_BAD_LENGTH},   {FALSE, 0x17, "!01\r", EC_OK},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.reply);
        useCheckSum = c.cs;
        t::reply(c.reply);
        EXPECT_EQ(clearDICounter(1, c.chan), c.code);
    }
    EXPECT_EQ(t::lastWrite(), "$01C7\r");
}

// ---------------------------------------------------------------------------
// readDIO's traces, printed only with the debug option: the reply trace after
// every line ended by a carriage return, before the length check; the
// checksum trace on a mismatch, after it.

TEST_F(ProtocolDigital, ReadDIOTraces)
{
    struct {
        BOOL cs;
        const char *reply;
        ERRCODE code;
        const char *trace;
    } cases[] = {
        {FALSE, ">00FF\r", EC_OK, "\nrec: >00FF"},
        {FALSE, ">00FF0\r", EC_BAD_LENGTH, "\nrec: >00FF0"},
        {FALSE, "\r", EC_BAD_LENGTH, "\nrec: "},
        {FALSE, "xx>?0FF\r", EC_BAD_LENGTH, "\nrec: >?0FF"}, // "?" after the start is data
        {FALSE, "?>00FF\r", EC_REFUSED, ""},
        {FALSE, ">00FF", EC_TIMEOUT, ""},
        {TRUE, ">00FF2A\r", EC_OK, "\nrec: >00FF2A"},
        // A wrong low digit: the high digits match, so one code twice.
        {TRUE, ">00FF2B\r", EC_BAD_CHECKSUM, "\nrec: >00FF2B\nInvalidChecksum: rec: 32  cal: 32"},
        {TRUE, ">00FF3A\r", EC_BAD_CHECKSUM, "\nrec: >00FF3A\nInvalidChecksum: rec: 33  cal: 32"},
        {TRUE, ">0F0F2a\r", EC_BAD_CHECKSUM, "\nrec: >0F0F2a\nInvalidChecksum: rec: 32  cal: 32"},
        {TRUE, ">0F0FA2\r", EC_BAD_CHECKSUM, "\nrec: >0F0FA2\nInvalidChecksum: rec: 41  cal: 32"},
        {TRUE, ">00FF\r", EC_BAD_LENGTH, "\nrec: >00FF"},
    };
    for (BOOL dbg : {FALSE, TRUE}) {
        debug = dbg;
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string(c.reply) + (dbg ? " debug" : ""));
            useCheckSum = c.cs;
            t::reply(c.reply);
            int word;
            EXPECT_EQ(readDIO(1, &word), c.code);
            EXPECT_EQ(t::console(), dbg ? c.trace : "");
        }
    }
}

// An overflowing reply ends before any carriage return: no reply trace.
TEST_F(ProtocolDigital, ReadDIOOverflowPrintsNoTrace)
{
    debug = TRUE;
    t::reply(">" + std::string(80, '0') + "\r");
    int word = KEEP;
    EXPECT_EQ(readDIO(1, &word), EC_BAD_LENGTH);
    EXPECT_EQ(word, KEEP);
    EXPECT_EQ(t::console(), "");
}

// The other digital operations print nothing on a mismatch or a bad length.
TEST_F(ProtocolDigital, OtherOperationsPrintNoTrace)
{
    debug = TRUE;
    useCheckSum = TRUE;
    unsigned count;
    t::reply(">3F\r");
    EXPECT_EQ(writeDO(1, 1, 1), EC_BAD_CHECKSUM);
    t::reply("!0100123FF\r");
    EXPECT_EQ(readDICounter(1, 0, &count), EC_BAD_CHECKSUM);
    t::reply("!0100\r");
    EXPECT_EQ(clearDICounter(1, 0), EC_BAD_CHECKSUM);
    t::reply("!01\r");
    EXPECT_EQ(clearDICounter(1, 0), EC_BAD_LENGTH);
    EXPECT_EQ(t::console(), "");
}

} // namespace
