// Host services for the stand-in hosts; see hostsvc.h.
#include "hostsvc.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "../../sdk/TLMUSR.h"

namespace hostsvc {
namespace {

bool capturing = false;
std::string consoleText;
bool virtualClock = false;
int32_t virtualMsPerPoll = 1;
int64_t virtualNow = 0;
Counters serviceCounts;

using Steady = std::chrono::steady_clock;
const Steady::time_point EPOCH = Steady::now();

int64_t realNowUs() { return std::chrono::duration_cast<std::chrono::microseconds>(Steady::now() - EPOCH).count(); }

void emit(const char *text, size_t len)
{
    if (capturing) {
        consoleText.append(text, len);
    } else {
        fwrite(text, 1, len, stdout);
        fflush(stdout);
    }
}

} // namespace

void captureConsole(bool on) { capturing = on; }
std::string takeConsole()
{
    std::string s;
    s.swap(consoleText);
    return s;
}
const std::string &console() { return consoleText; }

void useRealClock() { virtualClock = false; }
void useVirtualClock(int32_t msPerPoll)
{
    virtualClock = true;
    virtualMsPerPoll = msPerPoll;
}
void advance(int64_t ms) { virtualNow += ms; }
int64_t nowMs() { return virtualClock ? virtualNow : realNowUs() / 1000; }

Counters &counters() { return serviceCounts; }
void resetCounters() { serviceCounts = Counters(); }

// ---------------------------------------------------------------------------
// The services, plain C++ with their host-side argument lists.

int32_t svcVprintf(const char *format, va_list values)
{
    ++serviceCounts.printfCalls;
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

int32_t svcPrintText(const std::string &text)
{
    ++serviceCounts.printfCalls;
    emit(text.data(), text.size());
    return static_cast<int32_t>(text.size());
}

void svcCountSprintf() { ++serviceCounts.sprintfCalls; }

int32_t svcVsprintf(char *buffer, const char *format, va_list values)
{
    ++serviceCounts.sprintfCalls;
    // The real host's service has no bound either: the caller sizes the
    // buffer for what its format can make.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): the caller started `values`
    return vsprintf(buffer, format, values);
}

int32_t svcTimerSet(int32_t msecs)
{
    ++serviceCounts.timerSets;
    serviceCounts.lastPeriod = msecs;
    if (virtualClock)
        return static_cast<int32_t>(virtualNow + msecs);
    // The mark is opaque to the module, so it is kept in microseconds: the
    // period ends p ms after now, not at the next whole millisecond after
    // that.  It wraps after about 71 minutes; the difference taken in
    // svcTimerPoll is right for any period shorter than half of that.
    return static_cast<int32_t>(static_cast<uint32_t>(realNowUs()) + static_cast<uint32_t>(msecs) * 1000u);
}

int32_t svcTimerPoll(int32_t mark)
{
    ++serviceCounts.timerPolls;
    if (virtualClock) {
        virtualNow += virtualMsPerPoll;
        return static_cast<int32_t>(static_cast<uint32_t>(mark) - static_cast<uint32_t>(virtualNow));
    }
    int32_t remainingUs = static_cast<int32_t>(static_cast<uint32_t>(mark) - static_cast<uint32_t>(realNowUs()));
    if (remainingUs <= 0)
        return 0;
    return remainingUs / 1000 + 1; // whole milliseconds left, rounded up
}

int32_t svcOther()
{
    ++serviceCounts.otherCalls;
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
int32_t __cdecl hostsvcPrintf(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int32_t r = hostsvc::svcVprintf(format, ap);
    va_end(ap);
    return r;
}
int32_t __cdecl hostsvcSprintf(char *buffer, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int32_t r = hostsvc::svcVsprintf(buffer, format, ap);
    va_end(ap);
    return r;
}
int32_t __cdecl hostsvcTimerSet(int32_t msecs) { return hostsvc::svcTimerSet(msecs); }
int32_t __cdecl hostsvcTimerPoll(int32_t mark) { return hostsvc::svcTimerPoll(mark); }
int32_t __cdecl hostsvcOther(void) { return hostsvc::svcOther(); }

void *hostsvcTable[HLP_SERVICE_COUNT];
void hostsvcEntry(void);
}

asm(".text\n"
    ".globl _hostsvcEntry\n"
    ".def _hostsvcEntry; .scl 2; .type 32; .endef\n"
    "_hostsvcEntry:\n"
    "    jmp *_hostsvcTable(%eax)\n");

namespace {
struct TableInit {
    TableInit()
    {
        for (auto &slot : hostsvcTable)
            slot = reinterpret_cast<void *>(&hostsvcOther);
        hostsvcTable[SEL_HlpPrintf / 4] = reinterpret_cast<void *>(&hostsvcPrintf);
        hostsvcTable[SEL_HlpSprintf / 4] = reinterpret_cast<void *>(&hostsvcSprintf);
        hostsvcTable[SEL_HlpPtimerSet / 4] = reinterpret_cast<void *>(&hostsvcTimerSet);
        hostsvcTable[SEL_HlpPtimerPoll / 4] = reinterpret_cast<void *>(&hostsvcTimerPoll);
    }
} tableInit;
} // namespace

void *hostsvc::dispatcher() { return reinterpret_cast<void *>(&hostsvcEntry); }

#else

namespace {

int32_t nativeDispatch(int32_t selector, va_list args)
{
    switch (selector) {
    case SEL_HlpPrintf: {
        const char *format = va_arg(args, const char *);
        va_list *values = va_arg(args, va_list *);
        return hostsvc::svcVprintf(format, *values);
    }
    case SEL_HlpSprintf: {
        char *buffer = va_arg(args, char *);
        const char *format = va_arg(args, const char *);
        va_list *values = va_arg(args, va_list *);
        return hostsvc::svcVsprintf(buffer, format, *values);
    }
    case SEL_HlpPtimerSet:
        return hostsvc::svcTimerSet(va_arg(args, int32_t));
    case SEL_HlpPtimerPoll:
        return hostsvc::svcTimerPoll(va_arg(args, int32_t));
    default:
        return hostsvc::svcOther();
    }
}

} // namespace

void *hostsvc::dispatcher() { return reinterpret_cast<void *>(&nativeDispatch); }

#endif
