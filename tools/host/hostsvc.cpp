// Host services for the stand-in hosts; see hostsvc.h.
#include "hostsvc.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "../../sdk/TLMUSR.h"

namespace hostsvc {
namespace {

bool g_capture = false;
std::string g_console;
bool g_virtual = false;
int32_t g_ms_per_poll = 1;
int64_t g_virtual_now = 0;
Counters g_counters;

using steady = std::chrono::steady_clock;
const steady::time_point g_epoch = steady::now();

int64_t real_now_us() { return std::chrono::duration_cast<std::chrono::microseconds>(steady::now() - g_epoch).count(); }

void emit(const char *text, size_t len)
{
    if (g_capture) {
        g_console.append(text, len);
    } else {
        fwrite(text, 1, len, stdout);
        fflush(stdout);
    }
}

} // namespace

void capture_console(bool on) { g_capture = on; }
std::string take_console()
{
    std::string s;
    s.swap(g_console);
    return s;
}
const std::string &console() { return g_console; }

void use_real_clock() { g_virtual = false; }
void use_virtual_clock(int32_t ms_per_poll)
{
    g_virtual = true;
    g_ms_per_poll = ms_per_poll;
}
void advance(int64_t ms) { g_virtual_now += ms; }
int64_t now_ms() { return g_virtual ? g_virtual_now : real_now_us() / 1000; }

Counters &counters() { return g_counters; }
void reset_counters() { g_counters = Counters(); }

// ---------------------------------------------------------------------------
// The services, plain C++ with their host-side argument lists.

int32_t svc_vprintf(const char *format, va_list values)
{
    ++g_counters.printf_calls;
    char small[512];
    va_list copy;
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): the caller started `values`
    va_copy(copy, values);
    int n = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0)
        return n;
    if (static_cast<size_t>(n) < sizeof small) {
        emit(small, static_cast<size_t>(n));
    } else {
        std::string big(static_cast<size_t>(n) + 1, '\0');
        vsnprintf(&big[0], big.size(), format, values);
        emit(big.data(), static_cast<size_t>(n));
    }
    return n;
}

int32_t svc_vsprintf(char *buffer, const char *format, va_list values)
{
    ++g_counters.sprintf_calls;
    // The real host's service has no bound either: the caller sizes the
    // buffer for what its format can make.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): the caller started `values`
    return vsprintf(buffer, format, values);
}

int32_t svc_timer_set(int32_t msecs)
{
    ++g_counters.timer_sets;
    g_counters.last_period = msecs;
    if (g_virtual)
        return static_cast<int32_t>(g_virtual_now + msecs);
    // The mark is opaque to the module, so it is kept in microseconds: the
    // period ends p ms after now, not at the next whole millisecond after
    // that.  It wraps after about 71 minutes; the difference taken in
    // svc_timer_poll is right for any period shorter than half of that.
    return static_cast<int32_t>(static_cast<uint32_t>(real_now_us()) + static_cast<uint32_t>(msecs) * 1000u);
}

int32_t svc_timer_poll(int32_t mark)
{
    ++g_counters.timer_polls;
    if (g_virtual) {
        g_virtual_now += g_ms_per_poll;
        return static_cast<int32_t>(static_cast<uint32_t>(mark) - static_cast<uint32_t>(g_virtual_now));
    }
    int32_t remaining_us = static_cast<int32_t>(static_cast<uint32_t>(mark) - static_cast<uint32_t>(real_now_us()));
    if (remaining_us <= 0)
        return 0;
    return remaining_us / 1000 + 1; // whole milliseconds left, rounded up
}

int32_t svc_other()
{
    ++g_counters.other_calls;
    return 0;
}

} // namespace hostsvc

// ---------------------------------------------------------------------------
// Dispatcher glue.
#if defined(_WIN32) && defined(__i386__)

// The module's stub jumps here with the selector in EAX and the caller's
// return address and arguments on the stack: one indirect jump through a
// table of 44 cdecl services, which return straight to the module.
extern "C" {
int32_t __cdecl hostsvc_printf(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int32_t r = hostsvc::svc_vprintf(format, ap);
    va_end(ap);
    return r;
}
int32_t __cdecl hostsvc_sprintf(char *buffer, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int32_t r = hostsvc::svc_vsprintf(buffer, format, ap);
    va_end(ap);
    return r;
}
int32_t __cdecl hostsvc_timer_set(int32_t msecs) { return hostsvc::svc_timer_set(msecs); }
int32_t __cdecl hostsvc_timer_poll(int32_t mark) { return hostsvc::svc_timer_poll(mark); }
int32_t __cdecl hostsvc_other(void) { return hostsvc::svc_other(); }

void *hostsvc_table[HLP_SERVICE_COUNT];
void hostsvc_entry(void);
}

asm(".text\n"
    ".globl _hostsvc_entry\n"
    ".def _hostsvc_entry; .scl 2; .type 32; .endef\n"
    "_hostsvc_entry:\n"
    "    jmp *_hostsvc_table(%eax)\n");

namespace {
struct TableInit {
    TableInit()
    {
        for (auto &slot : hostsvc_table)
            slot = reinterpret_cast<void *>(&hostsvc_other);
        hostsvc_table[SEL_HlpPrintf / 4] = reinterpret_cast<void *>(&hostsvc_printf);
        hostsvc_table[SEL_HlpSprintf / 4] = reinterpret_cast<void *>(&hostsvc_sprintf);
        hostsvc_table[SEL_HlpPtimerSet / 4] = reinterpret_cast<void *>(&hostsvc_timer_set);
        hostsvc_table[SEL_HlpPtimerPoll / 4] = reinterpret_cast<void *>(&hostsvc_timer_poll);
    }
} g_table_init;
} // namespace

void *hostsvc::dispatcher() { return reinterpret_cast<void *>(&hostsvc_entry); }

#else

namespace {

int32_t native_dispatch(int32_t selector, va_list args)
{
    switch (selector) {
    case SEL_HlpPrintf: {
        const char *format = va_arg(args, const char *);
        va_list *values = va_arg(args, va_list *);
        return hostsvc::svc_vprintf(format, *values);
    }
    case SEL_HlpSprintf: {
        char *buffer = va_arg(args, char *);
        const char *format = va_arg(args, const char *);
        va_list *values = va_arg(args, va_list *);
        return hostsvc::svc_vsprintf(buffer, format, *values);
    }
    case SEL_HlpPtimerSet:
        return hostsvc::svc_timer_set(va_arg(args, int32_t));
    case SEL_HlpPtimerPoll:
        return hostsvc::svc_timer_poll(va_arg(args, int32_t));
    default:
        return hostsvc::svc_other();
    }
}

} // namespace

void *hostsvc::dispatcher() { return reinterpret_cast<void *>(&native_dispatch); }

#endif
