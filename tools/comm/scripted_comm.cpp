// The scripted serial library; see scripted_comm.h.
#include "scripted_comm.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "../../serial/comm.h"
#include "../common/escape.h"

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
    int32_t polls_since_write = 0;
    int32_t setup_result = 0;
    int32_t write_result = 1;
    int32_t xmit_drain = 0;
    int32_t xmit_left_polls = 0;
    int32_t xmit_count = 0;
    std::string log;
    std::string last_write;
    int32_t rcvqueue_polls = 0;
    int32_t getc_calls = 0;
    int32_t xmitqueue_polls = 0;
    bool open = false;
    int32_t open_port = 0;
    int32_t setup_while_open = 0;
    void *rcv_buf = nullptr;
    void *xmit_buf = nullptr;
};

State s;

void logf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void logf(const char *fmt, ...)
{
    char line[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    s.log += line;
    s.log += '\n';
}

int32_t copy_out(const std::string &text, char *buf, int32_t cap)
{
    if (buf && cap > 0) {
        size_t n = text.size() < static_cast<size_t>(cap - 1) ? text.size() : static_cast<size_t>(cap - 1);
        memcpy(buf, text.data(), n);
        buf[n] = '\0';
    }
    return static_cast<int32_t>(text.size());
}

void deliver_due()
{
    while (!s.pending.empty() && s.pending.front().due <= s.polls_since_write) {
        s.rx.push_back(s.pending.front().c);
        s.pending.pop_front();
    }
}

} // namespace

extern "C" {

// ---------------------------------------------------------------------------
// Control interface.

void scomm_reset(void) { s = State(); }

void scomm_queue_reply(const char *bytes, int32_t len, const int32_t *due)
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

void scomm_queue_silence(void)
{
    Reply r;
    r.silent = true;
    s.replies.push_back(r);
}

void scomm_inject(const char *bytes, int32_t len)
{
    for (int32_t i = 0; i < len; ++i)
        s.rx.push_back(bytes[i]);
}

void scomm_set_setup_result(int32_t result) { s.setup_result = result; }
void scomm_set_write_result(int32_t result) { s.write_result = result; }
void scomm_set_xmit_drain(int32_t polls) { s.xmit_drain = polls; }

int32_t scomm_log(char *buf, int32_t cap) { return copy_out(s.log, buf, cap); }
void scomm_clear_log(void) { s.log.clear(); }
int32_t scomm_last_write(char *buf, int32_t cap) { return copy_out(s.last_write, buf, cap); }

int32_t scomm_rcvqueue_polls(void) { return s.rcvqueue_polls; }
int32_t scomm_getc_calls(void) { return s.getc_calls; }
int32_t scomm_xmitqueue_polls(void) { return s.xmitqueue_polls; }
int32_t scomm_pending(void) { return static_cast<int32_t>(s.pending.size()); }
int32_t scomm_rx_waiting(void) { return static_cast<int32_t>(s.rx.size()); }
int32_t scomm_is_open(void) { return s.open ? 1 : 0; }
int32_t scomm_open_port(void) { return s.open_port; }
int32_t scomm_setup_while_open(void) { return s.setup_while_open; }
void scomm_setup_buffers(void **rcv, void **xmit)
{
    if (rcv)
        *rcv = s.rcv_buf;
    if (xmit)
        *xmit = s.xmit_buf;
}

// ---------------------------------------------------------------------------
// The serial library.

COMM_EXPORT int32_t _COMsetup(int32_t port, int32_t rcvSize, char *rcvBuf, int32_t xmitSize, char *xmitBuf,
                              int32_t baud, int32_t parity, int32_t stopBits, int32_t dataBits)
{
    logf("setup %d %d %d %d %c %d %d", port, rcvSize, xmitSize, baud, static_cast<char>(parity), stopBits, dataBits);
    if (s.open)
        ++s.setup_while_open;
    if (s.setup_result != 0)
        return s.setup_result;
    s.open = true;
    s.open_port = port;
    s.rcv_buf = rcvBuf;
    s.xmit_buf = xmitBuf;
    return 0;
}

COMM_EXPORT int32_t _COMdisable(int32_t port)
{
    logf("disable %d", port);
    if (s.open && port == s.open_port)
        s.open = false;
    return 0;
}

COMM_EXPORT int32_t _COMwrite(int32_t port, const char *buf, int32_t len)
{
    logf("write %d %s", port, logtext::escape(std::string_view(buf, static_cast<size_t>(len))).c_str());
    s.last_write.assign(buf, static_cast<size_t>(len));
    if (s.write_result == 0)
        return 0;
    s.pending.clear();
    s.polls_since_write = 0;
    if (!s.replies.empty()) {
        Reply r = s.replies.front();
        s.replies.pop_front();
        if (!r.silent)
            s.pending.assign(r.bytes.begin(), r.bytes.end());
    }
    s.xmit_count = len;
    s.xmit_left_polls = s.xmit_drain;
    return s.write_result;
}

COMM_EXPORT int32_t _COMgetc(int32_t)
{
    ++s.getc_calls;
    if (s.rx.empty())
        return -1;
    unsigned char c = static_cast<unsigned char>(s.rx.front());
    s.rx.pop_front();
    return c;
}

COMM_EXPORT int32_t _COMrcvqueue(int32_t)
{
    ++s.rcvqueue_polls;
    deliver_due();
    ++s.polls_since_write;
    return static_cast<int32_t>(s.rx.size());
}

COMM_EXPORT int32_t _COMxmitqueue(int32_t)
{
    ++s.xmitqueue_polls;
    if (s.xmit_count == 0)
        return 0;
    if (s.xmit_drain < 0)
        return s.xmit_count;
    if (s.xmit_left_polls > 0) {
        --s.xmit_left_polls;
        return s.xmit_count;
    }
    s.xmit_count = 0;
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
    s.xmit_count = 0;
    return 0;
}
}
