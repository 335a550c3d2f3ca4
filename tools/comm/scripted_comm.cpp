// The scripted serial library; see scripted_comm.h.
#include "scripted_comm.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "../../serial/comm.h"
#include "wire_format.h"

#if defined(_WIN32)
#define COMM_EXPORT __declspec(dllexport)
#else
#define COMM_EXPORT
#endif

namespace {

struct Timed {
    int32_t due;
    char c;
};

struct Reply {
    bool silent = false;
    std::vector<Timed> bytes;
};

struct State {
    std::deque<Reply> replies;
    std::deque<Timed> pending; // of the active reply, due relative to write
    std::deque<char> rx;
    int32_t pollsSinceWrite = 0;
    int32_t setupResult = 0;
    int32_t writeResult = 1;
    int32_t xmitDrain = 0;
    int32_t xmitLeftPolls = 0;
    int32_t xmitCount = 0;
    std::string log;
    std::string lastWrite;
    int32_t rcvqueuePolls = 0;
    int32_t getcCalls = 0;
    int32_t xmitqueuePolls = 0;
    bool open = false;
    int32_t openPort = 0;
    int32_t setupWhileOpen = 0;
    void *rcvBuf = nullptr;
    void *xmitBuf = nullptr;
};

State s;

void logf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void logf(const char *fmt, ...)
{
    char line[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    s.log += line;
    s.log += '\n';
}

int32_t copyOut(const std::string &text, char *buf, int32_t cap)
{
    if (buf && cap > 0) {
        size_t n = text.size() < static_cast<size_t>(cap - 1) ? text.size() : static_cast<size_t>(cap - 1);
        std::memcpy(buf, text.data(), n);
        buf[n] = '\0';
    }
    return static_cast<int32_t>(text.size());
}

void deliverDue()
{
    while (!s.pending.empty() && s.pending.front().due <= s.pollsSinceWrite) {
        s.rx.push_back(s.pending.front().c);
        s.pending.pop_front();
    }
}

} // namespace

extern "C" {

// ---------------------------------------------------------------------------
// Control interface.

void scommReset(void) { s = State(); }

void scommQueueReply(const char *bytes, int32_t len, const int32_t *due)
{
    Reply r;
    int32_t last = 0;
    for (int32_t i = 0; i < len; ++i) {
        int32_t d = due ? due[i] : 0;
        if (d < last)
            d = last; // characters arrive in order
        last = d;
        r.bytes.push_back({d, bytes[i]});
    }
    s.replies.push_back(r);
}

void scommQueueSilence(void)
{
    Reply r;
    r.silent = true;
    s.replies.push_back(r);
}

void scommInject(const char *bytes, int32_t len)
{
    for (int32_t i = 0; i < len; ++i)
        s.rx.push_back(bytes[i]);
}

void scommSetSetupResult(int32_t result) { s.setupResult = result; }
void scommSetWriteResult(int32_t result) { s.writeResult = result; }
void scommSetXmitDrain(int32_t polls) { s.xmitDrain = polls; }

int32_t scommLog(char *buf, int32_t cap) { return copyOut(s.log, buf, cap); }
void scommClearLog(void) { s.log.clear(); }
int32_t scommLastWrite(char *buf, int32_t cap) { return copyOut(s.lastWrite, buf, cap); }

int32_t scommRcvqueuePolls(void) { return s.rcvqueuePolls; }
int32_t scommGetcCalls(void) { return s.getcCalls; }
int32_t scommXmitqueuePolls(void) { return s.xmitqueuePolls; }
int32_t scommPending(void) { return static_cast<int32_t>(s.pending.size()); }
int32_t scommRxWaiting(void) { return static_cast<int32_t>(s.rx.size()); }
int32_t scommIsOpen(void) { return s.open ? 1 : 0; }
int32_t scommOpenPort(void) { return s.openPort; }
int32_t scommSetupWhileOpen(void) { return s.setupWhileOpen; }
void scommSetupBuffers(void **rcv, void **xmit)
{
    if (rcv)
        *rcv = s.rcvBuf;
    if (xmit)
        *xmit = s.xmitBuf;
}

// ---------------------------------------------------------------------------
// The serial library.

COMM_EXPORT int32_t _COMsetup(int32_t port, int32_t rcvSize, char *rcvBuf, int32_t xmitSize, char *xmitBuf,
                              int32_t baud, int32_t parity, int32_t stopBits, int32_t dataBits)
{
    logf("setup %d %d %d %d %c %d %d", port, rcvSize, xmitSize, baud, static_cast<char>(parity), stopBits, dataBits);
    if (s.open)
        ++s.setupWhileOpen;
    if (s.setupResult != 0)
        return s.setupResult;
    s.open = true;
    s.openPort = port;
    s.rcvBuf = rcvBuf;
    s.xmitBuf = xmitBuf;
    return 0;
}

COMM_EXPORT int32_t _COMdisable(int32_t port)
{
    logf("disable %d", port);
    if (s.open && port == s.openPort)
        s.open = false;
    return 0;
}

COMM_EXPORT int32_t _COMwrite(int32_t port, const char *buf, int32_t len)
{
    logf("write %d %s", port, wire::escape(std::string_view(buf, static_cast<size_t>(len))).c_str());
    s.lastWrite.assign(buf, static_cast<size_t>(len));
    if (s.writeResult == 0)
        return 0;
    s.pending.clear();
    s.pollsSinceWrite = 0;
    if (!s.replies.empty()) {
        Reply r = s.replies.front();
        s.replies.pop_front();
        if (!r.silent)
            s.pending.assign(r.bytes.begin(), r.bytes.end());
    }
    s.xmitCount = len;
    s.xmitLeftPolls = s.xmitDrain;
    return s.writeResult;
}

COMM_EXPORT int32_t _COMgetc(int32_t)
{
    ++s.getcCalls;
    if (s.rx.empty())
        return -1;
    unsigned char c = static_cast<unsigned char>(s.rx.front());
    s.rx.pop_front();
    return c;
}

COMM_EXPORT int32_t _COMrcvqueue(int32_t)
{
    ++s.rcvqueuePolls;
    deliverDue();
    ++s.pollsSinceWrite;
    return static_cast<int32_t>(s.rx.size());
}

COMM_EXPORT int32_t _COMxmitqueue(int32_t)
{
    ++s.xmitqueuePolls;
    if (s.xmitCount == 0)
        return 0;
    if (s.xmitDrain < 0)
        return s.xmitCount;
    if (s.xmitLeftPolls > 0) {
        --s.xmitLeftPolls;
        return s.xmitCount;
    }
    s.xmitCount = 0;
    return 0;
}

COMM_EXPORT int32_t _COMrcvclear(int32_t port)
{
    logf("rcvclear %d", port);
    s.rx.clear();
    return 0;
}

COMM_EXPORT int32_t _COMxmitclear(int32_t port)
{
    logf("xmitclear %d", port);
    s.xmitCount = 0;
    return 0;
}
}
