// The real veldran.tlm, under wine (loaded with LoadLibrary, driven through
// its two exports by a host with the EAX dispatcher, against the scripted
// comm.dll) and natively in the i386 emulator (the same DLL, its serial
// calls served by the scripted library linked here).  Every call into the
// module proves that the callee removed its own arguments.
#include "minitest.h"

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "hostsvc.h"
#include "records.h"
#include "scripted_comm.h"
#include "veldran.h"
#include "winload.h"

namespace {

std::string commLog()
{
    char buf[16384];
    scommLog(buf, sizeof buf);
    return buf;
}

std::string lastWrite()
{
    char buf[256];
    int32_t n = scommLastWrite(buf, sizeof buf);
    return std::string(buf, static_cast<size_t>(n < 255 ? n : 255));
}

void reply(const std::string &bytes, int32_t due = 0)
{
    std::vector<int32_t> d(bytes.size(), due);
    scommQueueReply(bytes.data(), static_cast<int32_t>(bytes.size()), d.data());
}

class Dll : public ::testing::Test {
protected:
    LoadedDll m;

    void SetUp() override
    {
        scommReset();
        hostsvc::captureConsole(true);
        hostsvc::takeConsole();
        hostsvc::useVirtualClock(1);
        hostsvc::resetCounters();
        // A fresh load for every test: the module's settings are its own
        // globals, and CHECKSUM or DEBUG cannot be switched off again.
        ASSERT_TRUE(loadDll(dllPath(), m));
    }
    void TearDown() override { unloadDll(m); }

    ERRCODE main(void *req, const char *options)
    {
        int32_t moved = 99;
        uint32_t r = callEntry(m, req, options, &moved);
        EXPECT_EQ(moved, 0) << "__main@8 must remove its 8 bytes of arguments";
        return r;
    }
    ERRCODE init(const char *options, uint32_t flags = 0)
    {
        struct req_init r = records::request(REQ_INIT, hostsvc::dispatcher(), flags);
        return main(&r, options);
    }
    ERRCODE request(int32_t code)
    {
        struct req_init r = records::request(code);
        return main(&r, nullptr);
    }
    ERRCODE setMode(int32_t mode)
    {
        struct req_setmode r = records::setMode(mode);
        return main(&r, nullptr);
    }
    // Calls instruction `name` through its fnc_ptr.
    BOOL call(const char *name, int32_t rung, std::vector<TLIPARAM> &params)
    {
        const FUNCDEF *f = find(name);
        EXPECT_NE(f, nullptr) << name;
        if (!f)
            return 99;
        EXPECT_EQ(static_cast<size_t>(f->fnc_numargs), params.size()) << name;
        int32_t moved = 99;
        uint32_t r = callInstruction(reinterpret_cast<const void *>(f->fnc_ptr), rung,
                                     static_cast<int32_t>(params.size()), params.data(), &moved);
        EXPECT_EQ(moved, 0) << name << " must remove its 12 bytes of arguments";
        return r;
    }
    const FUNCDEF *find(const char *name)
    {
        const auto *table = static_cast<const FUNCDEF *>(m.table);
        for (int i = 0; i < FUNCTION_TABLE_ENTRIES && table[i].fnc_name[0]; ++i)
            if (strcmp(table[i].fnc_name, name) == 0)
                return &table[i];
        return nullptr;
    }
    void open(const char *options = nullptr)
    {
        ASSERT_EQ(init(options), EC_OK);
        ASSERT_EQ(setMode(2), EC_OK);
        hostsvc::takeConsole();
        scommClearLog();
    }
};

using records::floatIn;
using records::floatOut;
using records::wordIn;
using records::wordOut;

// ---------------------------------------------------------------------------
// Requests.

TEST_F(Dll, InitSetModeDeInstall)
{
    EXPECT_EQ(init(nullptr), EC_OK);
    EXPECT_EQ(hostsvc::takeConsole(), "\nVELDRAN  : initializing...\nVELDRAN  : initialization completed OK.");
    EXPECT_EQ(commLog(), "setup 1 128 128 19200 N 1 8\nxmitclear 1\nrcvclear 1\n");
    EXPECT_EQ(setMode(2), EC_OK);
    EXPECT_EQ(request(3), EC_OK);
    EXPECT_EQ(request(5), EC_OK);
    EXPECT_EQ(request(0), EC_BAD_REQUEST);
    EXPECT_EQ(request(6), EC_BAD_REQUEST);
    EXPECT_EQ(hostsvc::takeConsole(), "");
    scommClearLog();
    EXPECT_EQ(request(REQ_DEINSTALL), EC_OK);
    EXPECT_EQ(hostsvc::takeConsole(), "\nVELDRAN  : Deinstalled OK.");
    EXPECT_EQ(commLog(), "disable 1\n");
}

TEST_F(Dll, InitWithOptionsAndSecondInit)
{
    EXPECT_EQ(init("COMPORT=2 BAUD=1152 TIMEOUT=100"), EC_OK);
    EXPECT_EQ(hostsvc::takeConsole(), "\nVELDRAN  : initializing: \"COMPORT=2 BAUD=1152 TIMEOUT=100\"..."
                                      "\nVELDRAN  : initialization completed OK.");
    scommClearLog();
    EXPECT_EQ(init("COMPORT=3"), EC_OK);
    EXPECT_EQ(commLog(), "disable 2\nsetup 3 128 128 115200 N 1 8\nxmitclear 3\nrcvclear 3\n");
    EXPECT_EQ(scommSetupWhileOpen(), 0);
}

TEST_F(Dll, RejectedOptionsAndPortFailure)
{
    EXPECT_EQ(init("FOO DEBUG"), EC_BAD_OPTION);
    EXPECT_EQ(hostsvc::takeConsole(), "\nVELDRAN  : initializing: \"FOO DEBUG\"...<FOO DEBUG>\n"
                                      "\nVELDRAN  : bad command line parameter, ec=1002");
    EXPECT_EQ(init("TIMEOUT=-1"), EC_BAD_TIMEOUT);
    EXPECT_EQ(hostsvc::takeConsole(), "\nVELDRAN  : initializing: \"TIMEOUT=-1\"..."
                                      "\n\t Invalid time out value: -1 msecs (5-500)"
                                      "\nVELDRAN  : bad command line parameter, ec=1003");
    EXPECT_EQ(init("LATENCY=256"), EC_BAD_LATENCY);
    EXPECT_EQ(hostsvc::takeConsole(), "\nVELDRAN  : initializing: \"LATENCY=256\"..."
                                      "\n\t Invalid latency value: 256 msecs (0-255)"
                                      "\nVELDRAN  : bad command line parameter, ec=1021");
    EXPECT_EQ(commLog(), "");
    scommSetSetupResult(-5);
    EXPECT_EQ(init(nullptr), EC_PORT_OPEN);
    EXPECT_EQ(hostsvc::takeConsole(), "\nVELDRAN  : initializing..."
                                      "\nVELDRAN  : Cannot open COM1.  ec=-5"
                                      "\nVELDRAN  : initialization FAILED. ec=1004");
}

TEST_F(Dll, NoDispatcherBeforeInitNothingCrashes)
{
    // SetMode before any Init opens the gate with no dispatcher stored.
    EXPECT_EQ(setMode(2), EC_OK);
    int16_t ec = 0;
    float ain[8] = {};
    std::vector<TLIPARAM> p = {wordIn(1), wordIn(0), floatOut(ain), wordOut(&ec)};
    EXPECT_EQ(call("I7017", 1, p), 0u);
    EXPECT_EQ(ec, 1005);
    EXPECT_EQ(hostsvc::counters().timerPolls, 0);
}

// ---------------------------------------------------------------------------
// The instruction table, byte for byte.

struct Parm {
    const char *label;
    WORD kind;
    WORD len;
};
struct Entry {
    const char *name;
    const char *desc;
    std::vector<Parm> parms;
};

std::vector<unsigned char> expectedTable()
{
    const Parm addr{"Addr:", 5, 1}, format{"Format:", 5, 1}, chan{"Chan:", 5, 1}, xormask{"XORmask:", 5, 1},
        dout{"DOUT:", 5, 1}, hsecs{"HSecs:", 5, 1}, errcode{"ErrCode:", 6, 1}, errchan{"ErrChan:", 6, 1},
        din{"DIN:", 6, 1}, status{"Status:", 6, 1}, aout{"AOUT:", 9, 1}, count{"Count:", 0x0e, 1}, ain{"AIN:", 0x1e, 8};
    const std::vector<Entry> entries = {
        {"I7017", "Read 8 Analog Inputs", {addr, format, ain, errcode}},
        {"I7018", "Read 8 TC Inputs", {addr, format, ain, errcode, errchan}},
        {"I7024", "Write Analog Output", {addr, chan, aout, errcode}},
        {"I7041", "Read Digital Inputs", {addr, xormask, din, errcode}},
        {"I7043", "Write Digital Outputs", {addr, dout, errcode}},
        {"I7052", "Read Digital Inputs", {addr, din, errcode}},
        {"I7053", "Read Digital Inputs", {addr, xormask, din, errcode}},
        {"I7060", "RD/WR Digital I/0", {addr, dout, din, errcode}},
        {"I7065", "RD/WR Digital I/0", {addr, dout, din, errcode}},
        {"I7RDC", "Read Digital Input Counter", {addr, chan, count, errcode}},
        {"I7CDC", "Clear Digital Input Counter", {addr, chan, errcode}},
        {"I7RSMS", "Reset Module Status", {addr, errcode}},
        {"I7RDMS", "Read Module Status", {addr, status, errcode}},
        {"I7SHWV", "Set Host WatchDog Value", {addr, hsecs, errcode}},
        {"I7HOK", "Host OK", {errcode}},
    };
    std::vector<unsigned char> bytes(2752, 0);
    for (size_t i = 0; i < entries.size(); ++i) {
        unsigned char *e = &bytes[i * 172];
        memcpy(e, entries[i].name, strlen(entries[i].name));
        memcpy(e + 16, entries[i].desc, strlen(entries[i].desc));
        // bytes 48-51: the function pointer, compared separately
        e[54] = static_cast<unsigned char>(entries[i].parms.size());
        for (size_t j = 0; j < entries[i].parms.size(); ++j) {
            unsigned char *p = e + 55 + 13 * j;
            memcpy(p, entries[i].parms[j].label, strlen(entries[i].parms[j].label));
            p[9] = static_cast<unsigned char>(entries[i].parms[j].kind);
            p[10] = static_cast<unsigned char>(entries[i].parms[j].kind >> 8);
            p[11] = static_cast<unsigned char>(entries[i].parms[j].len);
            p[12] = static_cast<unsigned char>(entries[i].parms[j].len >> 8);
        }
    }
    return bytes;
}

TEST_F(Dll, TableMatchesByteForByte)
{
    std::vector<unsigned char> expected = expectedTable();
    std::vector<unsigned char> actual(2752);
    memcpy(actual.data(), m.rawTable, actual.size());
    uintptr_t begin = m.begin, end = m.end;
    std::vector<uintptr_t> seen;
    for (int i = 0; i < 16; ++i) {
        uint32_t fp;
        memcpy(&fp, &actual[i * 172 + 48], 4);
        if (i == 15) {
            EXPECT_EQ(fp, 0u) << "terminator";
        } else {
            EXPECT_GE(fp, begin) << i;
            EXPECT_LT(fp, end) << i;
            for (uintptr_t s : seen)
                EXPECT_NE(s, fp) << "entry " << i << " shares a function";
            seen.push_back(fp);
        }
        memset(&actual[i * 172 + 48], 0, 4);
    }
    for (size_t i = 0; i < expected.size(); ++i)
        ASSERT_EQ(static_cast<int>(actual[i]), static_cast<int>(expected[i]))
            << "byte " << i << " (entry " << i / 172 << ", offset " << i % 172 << ")";
}

// ---------------------------------------------------------------------------
// Every instruction once through its fnc_ptr.

TEST_F(Dll, AnalogInstructions)
{
    // One character a poll and 1 ms a poll: 58 characters need more than
    // the default 40 ms.
    open("TIMEOUT=100");
    reply(">+05.123+01.111-10.500+00.000+22.000-11.000+99.999-00.001\r");
    float ain[8] = {};
    int16_t ec = 77;
    std::vector<TLIPARAM> p = {wordIn(3), wordIn(0), floatOut(ain), wordOut(&ec)};
    EXPECT_EQ(call("I7017", 1, p), 0u);
    EXPECT_EQ(ec, 0);
    EXPECT_EQ(lastWrite(), "#03\r");
    const float want[8] = {5.123f, 1.111f, -10.5f, 0.0f, 22.0f, -11.0f, 99.999f, -0.001f};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(ain[i], want[i]) << i; // the float nearest to the text

    // I7018, hex form with one input without a value.
    reply(">7FFF-0000FFFF0000000100020003000F\r");
    int16_t words[8] = {};
    int16_t chanMask = 0;
    TLIPARAM w = wordOut(words);
    std::vector<TLIPARAM> q = {wordIn(4), wordIn(2), w, wordOut(&ec), wordOut(&chanMask)};
    EXPECT_EQ(call("I7018", 1, q), 0u);
    EXPECT_EQ(ec, 1018);
    EXPECT_EQ(chanMask, 0x02);
    const int16_t wantWords[8] = {0x7FFF, 0, -1, 0, 1, 2, 3, 15};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(words[i], wantWords[i]) << i;

    // I7024: the value field comes from the host's sprintf.
    reply(">\r");
    std::vector<TLIPARAM> r = {wordIn(2), wordIn(1), floatIn(1.23456f), wordOut(&ec)};
    EXPECT_EQ(call("I7024", 1, r), 0u);
    EXPECT_EQ(ec, 0);
    EXPECT_EQ(lastWrite(), "#021+01.235\r");
    reply(">\r");
    r[2] = floatIn(-11.0f);
    call("I7024", 1, r);
    EXPECT_EQ(lastWrite(), "#021-11.000\r");
    r[2] = floatIn(22.5f);
    call("I7024", 1, r);
    EXPECT_EQ(ec, 1014);
}

TEST_F(Dll, AnalogWithChecksumAndFailures)
{
    open("CHECKSUM DEBUG TIMEOUT=100");
    std::string body = ">+01.000+02.000+03.000+04.000+05.000+06.000+07.000+08.000";
    char cs[3];
    unsigned s = 0;
    for (unsigned char c : body)
        s += c;
    snprintf(cs, sizeof cs, "%02X", s & 0xFF);
    reply(body + cs + "\r");
    float ain[8] = {};
    int16_t ec = 77;
    std::vector<TLIPARAM> p = {wordIn(1), wordIn(0), floatOut(ain), wordOut(&ec)};
    call("I7017", 1, p);
    EXPECT_EQ(lastWrite(), "#0184\r");
    EXPECT_EQ(ec, 0);
    EXPECT_EQ(ain[7], 8.0f);

    // Silence: 1005 after exactly the time-out; the values stay.
    long before = hostsvc::counters().timerPolls;
    call("I7017", 1, p);
    EXPECT_EQ(ec, 1005);
    EXPECT_EQ(hostsvc::counters().timerPolls - before, 100);
    EXPECT_EQ(ain[7], 8.0f);
    EXPECT_EQ(hostsvc::takeConsole(), "\n addr=1  ec=1005");

    // A refusal waits for the end of the line.
    reply("?01\r");
    call("I7017", 1, p);
    EXPECT_EQ(ec, 1006);
}

TEST_F(Dll, DigitalInstructions)
{
    open();
    int16_t din = 0x5A5A, ec = 77;

    reply(">FFFF\r");
    std::vector<TLIPARAM> p41 = {wordIn(5), wordIn(0), wordOut(&din), wordOut(&ec)};
    call("I7041", 1, p41);
    EXPECT_EQ(lastWrite(), "@05\r");
    EXPECT_EQ(din, 0x3FFF);
    EXPECT_EQ(ec, 0);

    reply(">\r");
    std::vector<TLIPARAM> p43 = {wordIn(10), wordIn(-2), wordOut(&ec)};
    call("I7043", 1, p43);
    EXPECT_EQ(lastWrite(), "@0AFFFE\r");
    EXPECT_EQ(ec, 0);

    reply(">A500\r");
    std::vector<TLIPARAM> p52 = {wordIn(255), wordOut(&din), wordOut(&ec)};
    call("I7052", 1, p52);
    EXPECT_EQ(lastWrite(), "@FF\r");
    EXPECT_EQ(din, 0xA5);

    reply(">0F0F\r");
    std::vector<TLIPARAM> p53 = {wordIn(0), wordIn(-1), wordOut(&din), wordOut(&ec)};
    call("I7053", 1, p53);
    EXPECT_EQ(din, static_cast<int16_t>(0xF0F0));

    reply(">\r");
    reply(">000E\r");
    std::vector<TLIPARAM> p60 = {wordIn(6), wordIn(0x13), wordOut(&din), wordOut(&ec)};
    call("I7060", 1, p60);
    EXPECT_EQ(commLog(), "xmitclear 1\nrcvclear 1\nwrite 1 @05\\r\n"
                         "xmitclear 1\nrcvclear 1\nwrite 1 @0AFFFE\\r\n"
                         "xmitclear 1\nrcvclear 1\nwrite 1 @FF\\r\n"
                         "xmitclear 1\nrcvclear 1\nwrite 1 @00\\r\n"
                         "xmitclear 1\nrcvclear 1\nwrite 1 @063\\r\n"
                         "xmitclear 1\nrcvclear 1\nwrite 1 @06\\r\n");
    EXPECT_EQ(din, 1);
    EXPECT_EQ(ec, 0);

    reply(">\r");
    reply(">12G4\r"); // malformed word: 1008, DIN untouched
    din = 0x5A5A;
    std::vector<TLIPARAM> p65 = {wordIn(7), wordIn(0x13), wordOut(&din), wordOut(&ec)};
    call("I7065", 1, p65);
    EXPECT_EQ(ec, 1008);
    EXPECT_EQ(din, 0x5A5A);
}

TEST_F(Dll, CounterStatusWatchdogAndHostOk)
{
    open();
    int16_t ec = 77, status = 0x5A5A, wcount = 0;
    float fcount = -1.0f;

    reply("!0111170\r");
    std::vector<TLIPARAM> rdc = {wordIn(1), wordIn(15), floatOut(&fcount), wordOut(&ec)};
    call("I7RDC", 1, rdc);
    EXPECT_EQ(lastWrite(), "#01F\r");
    EXPECT_EQ(fcount, 70000.0f);
    reply("!0111170\r");
    rdc[2] = wordOut(&wcount);
    call("I7RDC", 1, rdc);
    EXPECT_EQ(wcount, 4464);

    reply("!01\r");
    std::vector<TLIPARAM> cdc = {wordIn(1), wordIn(0), wordOut(&ec)};
    call("I7CDC", 1, cdc);
    EXPECT_EQ(lastWrite(), "$01C0\r");
    EXPECT_EQ(ec, 0);

    reply("!01\r");
    std::vector<TLIPARAM> rsms = {wordIn(1), wordOut(&ec)};
    call("I7RSMS", 1, rsms);
    EXPECT_EQ(lastWrite(), "~011\r");

    reply("!0104\r");
    std::vector<TLIPARAM> rdms = {wordIn(1), wordOut(&status), wordOut(&ec)};
    call("I7RDMS", 1, rdms);
    EXPECT_EQ(lastWrite(), "~010\r");
    EXPECT_EQ(status, 4);

    reply("!01\r");
    std::vector<TLIPARAM> shwv = {wordIn(1), wordIn(100), wordOut(&ec)};
    call("I7SHWV", 1, shwv);
    EXPECT_EQ(lastWrite(), "~013164\r");
    EXPECT_EQ(ec, 0);

    scommClearLog();
    std::vector<TLIPARAM> hok = {wordOut(&ec)};
    ec = 77;
    call("I7HOK", 1, hok);
    EXPECT_EQ(commLog(), "xmitclear 1\nwrite 1 ~**\\r\n");
    EXPECT_EQ(ec, 0);
    scommSetXmitDrain(-1);
    call("I7HOK", 1, hok);
    EXPECT_EQ(ec, 1005);

    // A false rung and a closed gate write nothing.
    ec = 1234;
    EXPECT_EQ(call("I7HOK", 0, hok), 0u);
    EXPECT_EQ(ec, 1234);
    setMode(-1);
    EXPECT_EQ(call("I7RDMS", 1, rdms), 0u);
    EXPECT_EQ(ec, 1234);
}

TEST_F(Dll, HostOkWithChecksum)
{
    open("CHECKSUM");
    int16_t ec = 77;
    std::vector<TLIPARAM> hok = {wordOut(&ec)};
    call("I7HOK", 1, hok);
    EXPECT_EQ(lastWrite(), "~**D2\r");
    EXPECT_EQ(ec, 0);
}

} // namespace

int main(int argc, char **argv)
{
#if !defined(_WIN32)
    // In the emulator the DLL comes from the Windows build, which may not be there.
    FILE *dll = fopen(dllPath(), "rb");
    if (!dll) {
        printf("no DLL at %s (build the Windows tree: make win32): skipped\n", dllPath());
        return 77;
    }
    fclose(dll);
#endif
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
