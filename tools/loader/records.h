// Building the records a host hands to the module: an instruction's
// operand records and the Init and SetMode requests.  Shared by the test
// hosts and the benchmarks.
#ifndef TOOLS_LOADER_RECORDS_H
#define TOOLS_LOADER_RECORDS_H

#include <cstring>

#include "../../veldran/veldran.h"

namespace records {

// Input of kind 0x0005: val.wd.
inline TLIPARAM wordIn(int16_t v)
{
    TLIPARAM p;
    memset(&p, 0, sizeof p);
    p.val.wd = v;
    return p;
}

// Input of kind 0x0009: val.fl, marked as floating point.
inline TLIPARAM floatIn(float v)
{
    TLIPARAM p;
    memset(&p, 0, sizeof p);
    p.val.fl = v;
    p.isfloat = TRUE;
    return p;
}

// Output of 16-bit words through ptr.wptr.
inline TLIPARAM wordOut(int16_t *w)
{
    TLIPARAM p;
    memset(&p, 0, sizeof p);
    p.ptr.wptr = w;
    return p;
}

// Output of floats through ptr.fptr.
inline TLIPARAM floatOut(float *f)
{
    TLIPARAM p;
    memset(&p, 0, sizeof p);
    p.ptr.fptr = f;
    p.isfloat = TRUE;
    return p;
}

// A request record of `code`; for Init with the host's dispatcher and flags.
inline struct req_init request(int32_t code, void *dispatcher = nullptr, uint32_t flags = 0)
{
    struct req_init r;
    memset(&r, 0, sizeof r);
    r.cmdcode = code;
    r.dispatcher = dispatcher;
    r.flags = flags;
    return r;
}

// The SetMode request, with the host's status words where it has them.
inline struct req_setmode setMode(int32_t mode, WORD *statusWords = nullptr)
{
    return {REQ_SETMODE, statusWords, mode};
}

} // namespace records

#endif
