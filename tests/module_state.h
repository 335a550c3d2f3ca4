// The module's globals as a freshly loaded module has them: the start-up
// option defaults, the controller state before any SetMode, a settled line
// and empty line buffers.  Shared by the unit tests and the fuzz harnesses,
// which both drive one linked-in module through many cases.
#ifndef TESTS_MODULE_STATE_H
#define TESTS_MODULE_STATE_H

#include <string.h>

#include "option_ranges.h"
#include "protocol.h"

namespace state {

inline void asLoaded()
{
    port = COMPORT_DEFAULT;
    BaudRate = BAUD_DEFAULT_BPS;
    timeout = TIMEOUT_DEFAULT_MS;
    useCheckSum = CHECKSUM_DEFAULT ? TRUE : FALSE;
    debug = DEBUG_DEFAULT ? TRUE : FALSE;
    latency = LATENCY_DEFAULT_MS;
    Mode = 1;
    TopDoc = 0;
    lineSettled = TRUE;
    memset(dout, 0, sizeof dout);
    memset(din, 0, sizeof din);
}

} // namespace state

#endif
