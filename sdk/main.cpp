// The module's request entry, exported as __main@8, and the host's service
// dispatcher that the Init request hands over.
#include <string.h>

#include "TLMUSR.h"
#include "module.h"

extern "C" {

vp_dispatch_t __vp_dispatch = nullptr;

ERRCODE TLMCALL _main(void *reqp, void *datap)
{
    int32_t cmdcode;
    memcpy(&cmdcode, reqp, sizeof cmdcode);
    // The dispatcher is stored before any handler runs, so that the Init
    // messages already reach the console.
    if (cmdcode == REQ_INIT)
        memcpy(&__vp_dispatch, static_cast<char *>(reqp) + offsetof(struct req_init, dispatcher), sizeof __vp_dispatch);
    return dispatch(reqp, datap);
}
}
