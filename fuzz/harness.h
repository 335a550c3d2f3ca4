// Shared pieces of the fuzz harnesses: reading the fuzzer's bytes, the
// module linked in directly with the test host's services on the driven
// clock and the scripted serial library, guarded output areas, and the
// failure report that turns a broken invariant into a crash.
#ifndef FUZZ_HARNESS_H
#define FUZZ_HARNESS_H

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "TLMUSR.h"
#include "guarded.h"
#include "hostsvc.h"
#include "model.h"
#include "module.h"
#include "module_state.h"
#include "records.h"
#include "scripted_comm.h"

namespace fz {

[[noreturn]] inline void fail(const char *file, int line, const char *cond, const char *fmt, ...)
{
    fprintf(stderr, "\n*** invariant broken at %s:%d: %s\n    ", file, line, cond);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fprintf(stderr, "\n");
    abort();
}

#define FZ_CHECK(cond, ...)                                     \
    do {                                                        \
        if (!(cond))                                            \
            ::fz::fail(__FILE__, __LINE__, #cond, __VA_ARGS__); \
    } while (0)

// The fuzzer's bytes, read front to back; past the end everything is 0.
class Reader {
public:
    Reader(const uint8_t *data, size_t size) : d_(data), n_(size) {}
    uint8_t u8() { return i_ < n_ ? d_[i_++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
    uint32_t u32() { return static_cast<uint32_t>(u16()) | (static_cast<uint32_t>(u16()) << 16); }
    float f32()
    {
        uint32_t bits = u32();
        float f;
        memcpy(&f, &bits, sizeof f);
        return f;
    }
    bool more() const { return i_ < n_; }
    size_t left() const { return n_ - i_; }

private:
    const uint8_t *d_;
    size_t n_;
    size_t i_ = 0;
};

// A reply script: records of (delay in receive polls, chunk length, chunk
// bytes).  Each chunk arrives `delay` polls after the previous one, so the
// fuzzer chooses lateness and chunking as well as content.  At most
// `maxRecords` records are read (0: until the input ends).
inline model::Script readScript(Reader &in, int maxRecords = 0)
{
    model::Script s;
    int32_t due = 0;
    for (int rec = 0; in.more() && (maxRecords == 0 || rec < maxRecords); ++rec) {
        due += in.u8();
        int len = in.u8() % 64;
        for (int i = 0; i < len && in.more(); ++i)
            s.push_back({due, static_cast<char>(in.u8())});
    }
    return s;
}

inline void queueScript(const model::Script &s)
{
    std::vector<char> bytes;
    std::vector<int32_t> due;
    for (const model::Timed &t : s) {
        bytes.push_back(t.c);
        due.push_back(t.due);
    }
    scommQueueReply(bytes.data(), static_cast<int32_t>(bytes.size()), due.data());
}

inline std::string lastWrite()
{
    char buf[256];
    int32_t n = scommLastWrite(buf, sizeof buf);
    return std::string(buf, static_cast<size_t>(n < 255 ? n : 255));
}

inline std::string commLog()
{
    char buf[8192];
    scommLog(buf, sizeof buf);
    return buf;
}

inline int countWrites()
{
    std::string log = commLog();
    int n = 0;
    for (size_t p = 0; (p = log.find("write ", p)) != std::string::npos; p += 6)
        if (p == 0 || log[p - 1] == '\n')
            ++n;
    return n;
}

// Printable form of bytes for failure reports.
inline std::string show(const std::string &s)
{
    std::string out;
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

// Once per process: the module initialised through its entry point, so that
// it has the host's dispatcher; console captured, clock driven.
inline void initOnce()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    hostsvc::captureConsole(true);
    hostsvc::useVirtualClock(1);
    scommReset();
    struct req_init r = records::request(REQ_INIT, hostsvc::dispatcher());
    if (_main(&r, nullptr) != EC_OK)
        abort();
    hostsvc::takeConsole();
}

// Where the driven clock starts, chosen by the input: at 0, or just below
// the points where a signed or an unsigned 32-bit timer mark wraps, so that
// a time-out that spans the wrap is exercised too.
inline int64_t clockStart(unsigned choice)
{
    static const int64_t starts[] = {0, 0x7FFFFFFFLL - 7, 0xFFFFFFFFLL - 7, 0xFFFFFFFFLL - 300};
    return starts[choice % 4];
}

// Before each input: the module as loaded, settings as given, serial script and log empty, the clock at
// `clock0` with `msPerPoll` per timer poll.
inline void freshExchange(bool checksum, bool dbg, uint32_t tmo, int32_t msPerPoll, int64_t clock0)
{
    initOnce();
    scommReset();
    state::asLoaded();
    timeout = tmo;
    useCheckSum = checksum ? TRUE : FALSE;
    debug = dbg ? TRUE : FALSE;
    hostsvc::useVirtualClock(msPerPoll);
    hostsvc::advance(clock0 - hostsvc::nowMs());
    hostsvc::takeConsole();
    hostsvc::resetCounters();
}

// The module's settings and controller state, which no operation or
// instruction may change.
struct Settings {
    int32_t port, baud;
    uint32_t timeout;
    BOOL checksum, debug;
    int32_t mode, topdoc;
    static Settings now() { return {::port, BaudRate, ::timeout, useCheckSum, ::debug, Mode, TopDoc}; }
    bool operator==(const Settings &o) const
    {
        return port == o.port && baud == o.baud && timeout == o.timeout && checksum == o.checksum && debug == o.debug &&
               mode == o.mode && topdoc == o.topdoc;
    }
};

} // namespace fz

#endif
