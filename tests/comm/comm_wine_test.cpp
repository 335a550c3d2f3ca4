// comm.dll on a Windows COM port, run under wine: COM1 is a pseudo-terminal
// whose far end echoes every byte back (tests/comm/with_peer.sh), COM2 to
// COM4 are mapped onto paths with nothing behind them.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <string>

#include "comm.h"
#include "comm_core.h"
#include "setup_cases.h"

namespace {

int failures = 0;

#define CHECK(cond, ...)                                           \
    do {                                                           \
        if (!(cond)) {                                             \
            ++failures;                                            \
            printf("FAIL %s:%d: %s: ", __FILE__, __LINE__, #cond); \
            printf(__VA_ARGS__);                                   \
            printf("\n");                                          \
        }                                                          \
    } while (0)

char rcv[128];
char xmit[128];

std::string pattern(size_t n, unsigned step = 1)
{
    std::string s;
    for (size_t i = 0; i < n; ++i)
        s += static_cast<char>((i * step) & 0xFF);
    return s;
}

int32_t open1(int32_t baud = 19200) { return _COMsetup(1, sizeof rcv, rcv, sizeof xmit, xmit, baud, 'N', 1, 8); }

// Polls the receive count until it reaches n or five seconds pass.
int32_t waitRcv(int32_t n)
{
    DWORD start = GetTickCount();
    int32_t c = _COMrcvqueue(1);
    while (c < n && GetTickCount() - start < 5000) {
        Sleep(1);
        c = _COMrcvqueue(1);
    }
    return c;
}

// One _COMgetc per poll that reports characters, as the module reads.
std::string take(size_t n)
{
    std::string got;
    DWORD start = GetTickCount();
    while (got.size() < n && GetTickCount() - start < 5000) {
        if (_COMrcvqueue(1) > 0) {
            int32_t c = _COMgetc(1);
            if (c < 0 || c > 255)
                break;
            got += static_cast<char>(c);
        } else {
            Sleep(1);
        }
    }
    return got;
}

bool waitDrained()
{
    DWORD start = GetTickCount();
    while (_COMxmitqueue(1) != 0)
        if (GetTickCount() - start > 5000)
            return false;
        else
            Sleep(1);
    return true;
}

void badArguments()
{
    for (const SetupCase &c : badSetupCases(rcv, xmit)) {
        CHECK(open1() == 0, "%s: open", c.what);
        int32_t r = _COMsetup(c.port, c.rcvSize, c.rcvBuf, c.xmitSize, c.xmitBuf, c.baud, c.parity, c.stop, c.data);
        CHECK(r == c.expected, "%s: got %d, expected %d", c.what, r, c.expected);
        if (c.expected != comm::BAD_PORT) // a bad number names no port to close
            CHECK(_COMwrite(1, "x", 1) == 0, "%s: the port stays closed", c.what);
        _COMdisable(1);
    }
}

void portsWithoutADevice()
{
    for (int32_t port = 2; port <= 4; ++port) {
        int32_t r = _COMsetup(port, 128, rcv, 128, xmit, 9600, 'N', 1, 8);
        CHECK(r == comm::NO_DEVICE || r == comm::NOT_SERIAL, "COM%d: setup gave %d", port, r);
    }
    for (int32_t port : {2, 3, 4, 0, 5, -1, 1}) {
        CHECK(_COMdisable(port) == -1, "port %d", port);
        CHECK(_COMwrite(port, "abc", 3) == 0, "port %d", port);
        CHECK(_COMgetc(port) == -1, "port %d", port);
        CHECK(_COMrcvqueue(port) == 0, "port %d", port);
        CHECK(_COMxmitqueue(port) == 0, "port %d", port);
        CHECK(_COMrcvclear(port) == -1, "port %d", port);
        CHECK(_COMxmitclear(port) == -1, "port %d", port);
    }
}

// A port named by its variable: one that names no COM port fails, also
// where the default port (COM1, the peer's) would open; one that names a
// port opens that port, whichever number it stands for.
void portsNamedByTheEnvironment()
{
    struct Case {
        int32_t port;
        const char *setting; // for _putenv
        int32_t expected;
    };
    const Case cases[] = {
        {1, "VELDRAN_COM1=COMX", comm::NO_DEVICE},
        {1, "VELDRAN_COM1=COM0", comm::NO_DEVICE},
        {2, "VELDRAN_COM2=com1", comm::SETUP_OK},
    };
    for (const Case &c : cases) {
        _putenv(c.setting);
        int32_t r = _COMsetup(c.port, sizeof rcv, rcv, sizeof xmit, xmit, 19200, 'N', 1, 8);
        CHECK(r == c.expected, "%s: setup gave %d, expected %d", c.setting, r, c.expected);
        if (r == comm::SETUP_OK) {
            CHECK(_COMwrite(c.port, "$01M\r", 5) != 0, "%s: write", c.setting);
            DWORD start = GetTickCount();
            while (_COMrcvqueue(c.port) < 5 && GetTickCount() - start < 5000)
                Sleep(1);
            CHECK(_COMrcvqueue(c.port) == 5, "%s: the peer's echo", c.setting);
        }
        _COMdisable(c.port);
        std::string name(c.setting, static_cast<size_t>(strchr(c.setting, '=') - c.setting));
        _putenv((name + "=").c_str()); // removes it
    }
}

void everyRate()
{
    for (int32_t baud : {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200}) {
        int32_t r = open1(baud);
        CHECK(r == 0, "baud %d: setup gave %d", baud, r);
        // A reopened port works at once.
        CHECK(_COMwrite(1, "@01\r", 4) != 0, "baud %d", baud);
        CHECK(take(4) == "@01\r", "baud %d: echo", baud);
    }
}

void echoCountsAndOrder()
{
    CHECK(open1() == 0, "open");
    CHECK(_COMrcvqueue(1) == 0, "empty after set-up");
    CHECK(_COMgetc(1) == -1, "nothing to take");
    CHECK(_COMwrite(1, "#0184\r", 6) != 0, "write");
    int32_t n = waitRcv(6);
    CHECK(n == 6, "count %d", n);
    _COMrcvqueue(1); // what the count saw still in the driver is in the queue now
    CHECK(memcmp(rcv, "#0184\r", 6) == 0, "the queue lives in the caller's buffer");
    CHECK(take(6) == "#0184\r", "order");
    CHECK(_COMrcvqueue(1) == 0 && _COMgetc(1) == -1, "emptied");
    CHECK(waitDrained(), "transmit queue drains");

    std::string all = pattern(256);
    CHECK(_COMwrite(1, all.data(), 128) != 0 && _COMwrite(1, all.data() + 128, 128) != 0, "write");
    CHECK(take(256) == all, "every byte value passes unchanged");
}

void rcvclearEmpties()
{
    CHECK(open1() == 0, "open");
    std::string block = pattern(200, 3);
    CHECK(_COMwrite(1, block.data(), 200) != 0, "write");
    int32_t n = waitRcv(200);
    CHECK(n == 200, "count %d", n);
    CHECK(_COMrcvclear(1) == 0, "rcvclear");
    CHECK(_COMrcvqueue(1) == 0, "count after clear %d", _COMrcvqueue(1));
    CHECK(_COMgetc(1) == -1, "nothing after clear");
    CHECK(_COMwrite(1, "Z\r", 2) != 0, "write");
    CHECK(take(2) == "Z\r", "only what came after the clear");
}

void threeHundredBytes()
{
    CHECK(open1() == 0, "open");
    std::string sent = pattern(300, 7);
    CHECK(_COMwrite(1, sent.data(), 300) != 0, "write larger than the transmit queue");
    int32_t n = waitRcv(300);
    CHECK(n == 300, "count %d", n);
    std::string got = take(300);
    CHECK(got == sent, "got %u bytes, intact and in order: %s", static_cast<unsigned>(got.size()),
          got == sent ? "yes" : "no");
    CHECK(_COMrcvqueue(1) == 0, "emptied");
}

void reopenUsesNewBuffers()
{
    CHECK(open1() == 0, "open");
    static char rcv2[128], xmit2[128];
    memset(rcv, 0x5A, sizeof rcv);
    CHECK(_COMsetup(1, sizeof rcv2, rcv2, sizeof xmit2, xmit2, 9600, 'N', 1, 8) == 0, "reopen");
    CHECK(_COMwrite(1, "!01\r", 4) != 0, "write");
    CHECK(waitRcv(4) == 4, "count");
    _COMrcvqueue(1);
    CHECK(memcmp(rcv2, "!01\r", 4) == 0, "the new buffer holds the queue");
    CHECK(rcv[0] == 0x5A && rcv[3] == 0x5A, "the old buffer is left alone");
    CHECK(take(4) == "!01\r", "order");
    CHECK(_COMdisable(1) == 0, "disable");
    CHECK(_COMdisable(1) == -1, "second disable");
    CHECK(_COMwrite(1, "x", 1) == 0, "closed");
}

} // namespace

int main()
{
    struct Step {
        const char *name;
        void (*run)();
    };
    const Step steps[] = {
        {"bad arguments", badArguments},
        {"ports without a device", portsWithoutADevice},
        {"ports named by the environment", portsNamedByTheEnvironment},
        {"every rate", everyRate},
        {"echo: counts and order", echoCountsAndOrder},
        {"rcvclear empties", rcvclearEmpties},
        {"300 bytes through the queue", threeHundredBytes},
        {"reopen uses the new buffers", reopenUsesNewBuffers},
    };
    for (const Step &s : steps) {
        int before = failures;
        s.run();
        for (int32_t port = 1; port <= 4; ++port)
            _COMdisable(port);
        printf("%s %s\n", failures == before ? "ok  " : "FAIL", s.name);
    }
    printf("%d failure(s)\n", failures);
    return failures == 0 ? 0 : 1;
}
