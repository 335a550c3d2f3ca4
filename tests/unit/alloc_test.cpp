// The module allocates nothing: a counting allocator shows zero allocations
// made from within the module across Init, a thousand instruction calls
// and DeInstall.
//
// What is counted: every allocation (malloc, calloc, realloc and, through
// them, operator new; under AddressSanitizer its allocator hook) while the
// module's own code runs, that is between markers around each call into the
// module, with the count suspended while the module is inside a host
// service.  The host services are reached through a dispatcher of this test
// that closes the window around the real one, so the test host's console
// capture and clock may allocate as they like.  The scripted serial library
// is called directly by the module and so stays inside the window; it
// allocates nothing on these calls when no reply is queued, so the replies
// are put into its receive queue from the dispatcher, at the moment the
// module starts its time-out (right after its write), and its call log is
// emptied there too (a warm-up round gives that log its capacity first).
#include <cstdlib>

#include "alloc_count.h"
#include "support.h"

namespace {

// Opens the window for the duration of one call into the module.
template <typename F> auto inModule(F f)
{
    allocs::window(true);
    auto r = f();
    allocs::window(false);
    return r;
}

// The reply a module gives to the command just written (no checksums).
const char *replyTo(const char *line, int len)
{
    switch (line[0]) {
    case '#':
        if (len == 4)
            return ">+01.000+02.500-03.250+00.000+05.123-10.500+09.999+00.250\r";
        return len == 5 ? "!0100123\r" : ">\r";
    case '@':
        return len == 4 ? ">0F0F\r" : ">\r";
    case '$':
        return "!01\r";
    case '~':
        if (line[1] == '*')
            return nullptr;
        return line[3] == '0' ? "!0104\r" : "!01\r";
    default:
        return nullptr;
    }
}

int32_t hostDispatch(int32_t selector, va_list args)
{
    bool was = allocs::window(false);
    if (selector == SEL_HlpPtimerSet) {
        char line[64];
        int32_t n = scommLastWrite(line, sizeof line);
        scommClearLog();
        if (const char *r = replyTo(line, n))
            scommInject(r, static_cast<int32_t>(strlen(r)));
    }
    auto real = reinterpret_cast<int32_t (*)(int32_t, va_list)>(hostsvc::dispatcher());
    int32_t result = real(selector, args);
    allocs::window(was);
    return result;
}

struct Call {
    int index; // in the instruction table
    std::vector<TLIPARAM> params;
};

// Init, a thousand instruction calls over all fifteen instructions (good
// operands and bad), DeInstall; returns the allocations counted.
long oneRound()
{
    static int16_t w[8];
    static float f[8];
    std::vector<Call> calls = {
        {0, {t::wordIn(1), t::wordIn(0), t::floatOut(f), t::wordOut(w)}},
        {1, {t::wordIn(1), t::wordIn(1), t::floatOut(f), t::wordOut(w), t::wordOut(w + 1)}},
        {1, {t::wordIn(1), t::wordIn(2), t::floatOut(f), t::wordOut(w), t::wordOut(w + 1)}},
        {2, {t::wordIn(1), t::wordIn(1), t::floatIn(5.0f), t::wordOut(w)}},
        {2, {t::wordIn(1), t::wordIn(1), t::floatIn(1e30f), t::wordOut(w)}},
        {3, {t::wordIn(1), t::wordIn(1), t::wordOut(w), t::wordOut(w + 1)}},
        {4, {t::wordIn(1), t::wordIn(0x1234), t::wordOut(w)}},
        {5, {t::wordIn(1), t::wordOut(w), t::wordOut(w + 1)}},
        {6, {t::wordIn(256), t::wordIn(-1), t::wordOut(w), t::wordOut(w + 1)}},
        {7, {t::wordIn(1), t::wordIn(0x13), t::wordOut(w), t::wordOut(w + 1)}},
        {8, {t::wordIn(1), t::wordIn(0x13), t::wordOut(w), t::wordOut(w + 1)}},
        {9, {t::wordIn(1), t::wordIn(0), t::floatOut(f), t::wordOut(w)}},
        {10, {t::wordIn(1), t::wordIn(0), t::wordOut(w)}},
        {11, {t::wordIn(1), t::wordOut(w)}},
        {12, {t::wordIn(1), t::wordOut(w), t::wordOut(w + 1)}},
        {13, {t::wordIn(1), t::wordIn(255), t::wordOut(w)}},
        {14, {t::wordOut(w)}},
    };

    allocs::start();
    allocs::window(false);
    struct req_init init = records::request(REQ_INIT, reinterpret_cast<void *>(&hostDispatch));
    char options[] = "TIMEOUT=200 DEBUG";
    EXPECT_EQ(inModule([&] { return _main(&init, options); }), EC_OK);
    struct req_setmode mode = records::setMode(2);
    inModule([&] { return _main(&mode, nullptr); });
    for (int i = 0; i < 1000; ++i) {
        Call &c = calls[static_cast<size_t>(i) % calls.size()];
        TLIPTR fn = function_table[c.index].fnc_ptr;
        inModule([&] { return fn(1, static_cast<int32_t>(c.params.size()), c.params.data()); });
    }
    struct req_init bye = records::request(REQ_DEINSTALL);
    inModule([&] { return _main(&bye, nullptr); });
    return allocs::stop();
}

} // namespace

TEST(ModuleAllocation, NoneFromInitThroughAThousandCallsToDeInstall)
{
    t::freshModule();
    // The counter counts: an allocation inside the window is seen.
    allocs::start();
    allocs::window(false);
    long seen = inModule([] {
        void *(*volatile allocate)(size_t) = malloc; // not elided as an unused pair
        void *p = allocate(16);
        free(p);
        return allocs::count();
    });
    allocs::stop();
    EXPECT_GE(seen, 1);

    oneRound(); // warm-up: the stand-ins take their working capacity
    t::freshModule();
    EXPECT_EQ(oneRound(), 0);
    // The round did its work: the analog read delivered its values.
    EXPECT_FLOAT_EQ(5.123f, []() {
        float v = fvalues[4];
        return v;
    }());
    t::freshModule();
}
