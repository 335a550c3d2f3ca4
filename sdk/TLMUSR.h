// Host services as a module sees them.
//
// The host offers 44 services through one dispatcher whose address arrives
// in the Init request and is kept in __vp_dispatch.  The service with index
// i has the selector i * 4.  The module calls a service through a stub named
// after it:
//
//  * i686 Windows: the stub loads its selector into EAX and jumps through
//    __vp_dispatch, leaving the caller's return address and arguments on the
//    stack, so the host's service (cdecl, result in EAX) returns straight to
//    the caller.  __vp_dispatch is therefore only an address to jump to.
//
//  * native build: __vp_dispatch is a C function
//        int32_t dispatcher(int32_t selector, va_list args)
//    where args holds the service's arguments in their declared order.  For
//    the printf-style services (HlpPrintf, HlpSprintf) the fixed arguments
//    are followed by one `va_list *` that holds the values for the format.
//
// With no dispatcher yet (before the first Init) every stub does nothing:
// HlpPrintf and HlpSprintf print nothing, the timer services return 0.
#ifndef TLMUSR_H
#define TLMUSR_H

#include <stdarg.h>
#include <stdint.h>

enum HlpSelector : int32_t {
    SEL_HlpInputsPut = 0 * 4,
    SEL_HlpOutputsGet = 1 * 4,
    SEL_HlpMemAlloc = 2 * 4,
    SEL_HlpMemReAlloc = 3 * 4,
    SEL_HlpMemFree = 4 * 4,
    SEL_HlpPrintf = 5 * 4,
    SEL_HlpDtWordPtr = 6 * 4,
    SEL_HlpDtReadFileTypeSize = 7 * 4,
    SEL_HlpFopen = 8 * 4,
    SEL_HlpFread = 9 * 4,
    SEL_HlpFgetc = 10 * 4,
    SEL_HlpFputc = 11 * 4,
    SEL_HlpFwrite = 12 * 4,
    SEL_HlpFclose = 13 * 4,
    SEL_HlpFgets = 14 * 4,
    SEL_HlpFputs = 15 * 4,
    SEL_HlpFtell = 16 * 4,
    SEL_HlpFseek = 17 * 4,
    SEL_HlpFprintf = 18 * 4,
    SEL_HlpSetMode = 19 * 4,
    SEL_HlpFilelength = 20 * 4,
    SEL_HlpSprintf = 21 * 4,
    SEL_HlpTimerInstall = 22 * 4,
    SEL_HlpTimerDeinstall = 23 * 4,
    SEL_HlpIntHandlerInstall = 24 * 4,
    SEL_HlpIntHandlerDeinstall = 25 * 4,
    SEL_HlpVecSet = 26 * 4,
    SEL_HlpVecGet = 27 * 4,
    SEL_HlpVecRestore = 28 * 4,
    SEL_HlpMapPhysical = 29 * 4,
    SEL_HlpPtimerSet = 30 * 4,
    SEL_HlpPtimerPoll = 31 * 4,
    SEL_HlpAddressParse = 32 * 4,
    SEL_HlpWordsPut = 33 * 4,
    SEL_HlpWordsGet = 34 * 4,
    SEL_dprint = 35 * 4,
    SEL_HlpPciBiosFindDevice = 36 * 4,
    SEL_HlpPciBiosFindClass = 37 * 4,
    SEL_HlpPciBiosReadConfigByte = 38 * 4,
    SEL_HlpPciBiosReadConfigWord = 39 * 4,
    SEL_HlpPciBiosReadConfigDword = 40 * 4,
    SEL_HlpPciBiosWriteConfigByte = 41 * 4,
    SEL_HlpPciBiosWriteConfigWord = 42 * 4,
    SEL_HlpPciBiosWriteConfigDword = 43 * 4,
};

constexpr int HLP_SERVICE_COUNT = 44;
static_assert(SEL_HlpPciBiosWriteConfigDword == (HLP_SERVICE_COUNT - 1) * 4, "44 services");
static_assert(SEL_HlpPrintf == 20 && SEL_HlpSprintf == 84 && SEL_HlpPtimerSet == 120 && SEL_HlpPtimerPoll == 124,
              "selectors of the services the module calls");

#if defined(_WIN32) && defined(__i386__)
typedef void (*vp_dispatch_t)(void);
#else
typedef int32_t (*vp_dispatch_t)(int32_t selector, va_list args);
#endif

extern "C" {
extern vp_dispatch_t __vp_dispatch;

// The four services the module calls (cdecl).
int32_t HlpPrintf(const char *format, ...);
int32_t HlpSprintf(char *buffer, const char *format, ...);
int32_t HlpPtimerSet(int32_t msecs);
int32_t HlpPtimerPoll(int32_t mark);
}

#endif
