// Stubs of the host services the module calls.  See TLMUSR.h for how a stub
// reaches the host's dispatcher on each target.
#include "TLMUSR.h"

#if defined(_WIN32) && defined(__i386__)

// Each stub: selector into EAX, then jump through __vp_dispatch with the
// caller's return address and arguments untouched.  With no dispatcher yet
// it returns 0 at once.  ECX is scratch under cdecl.
#define HLP_STUB(name, selector)                      \
    asm(".text\n"                                     \
        ".globl _" #name "\n"                         \
        ".def _" #name "; .scl 2; .type 32; .endef\n" \
        "_" #name ":\n"                               \
        "    movl ___vp_dispatch, %ecx\n"             \
        "    testl %ecx, %ecx\n"                      \
        "    jz 1f\n"                                 \
        "    movl $" #selector ", %eax\n"             \
        "    jmp *%ecx\n"                             \
        "1:  xorl %eax, %eax\n"                       \
        "    ret\n");

HLP_STUB(HlpPrintf, 20)
HLP_STUB(HlpSprintf, 84)
HLP_STUB(HlpPtimerSet, 120)
HLP_STUB(HlpPtimerPoll, 124)

#else

namespace {

int32_t vp_call(int32_t selector, ...)
{
    va_list args;
    va_start(args, selector);
    int32_t r = __vp_dispatch(selector, args);
    va_end(args);
    return r;
}

} // namespace

extern "C" {

int32_t HlpPrintf(const char *format, ...)
{
    if (!__vp_dispatch)
        return 0;
    va_list values;
    va_start(values, format);
    int32_t r = vp_call(SEL_HlpPrintf, format, &values);
    va_end(values);
    return r;
}

int32_t HlpSprintf(char *buffer, const char *format, ...)
{
    if (!__vp_dispatch)
        return 0;
    va_list values;
    va_start(values, format);
    int32_t r = vp_call(SEL_HlpSprintf, buffer, format, &values);
    va_end(values);
    return r;
}

int32_t HlpPtimerSet(int32_t msecs) { return __vp_dispatch ? vp_call(SEL_HlpPtimerSet, msecs) : 0; }

int32_t HlpPtimerPoll(int32_t mark) { return __vp_dispatch ? vp_call(SEL_HlpPtimerPoll, mark) : 0; }
}

#endif

// The selectors in the stubs above are spelled as numbers; keep them honest.
static_assert(SEL_HlpPrintf == 20 && SEL_HlpSprintf == 84, "stub selectors");
static_assert(SEL_HlpPtimerSet == 120 && SEL_HlpPtimerPoll == 124, "stub selectors");
