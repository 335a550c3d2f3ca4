// The set-up arguments that both serial libraries refuse, each with the
// number it gives: checked in the shared core, so the POSIX library and the
// Win32 comm.dll are tested against the same table.
#ifndef TESTS_COMM_SETUP_CASES_H
#define TESTS_COMM_SETUP_CASES_H

#include <stdint.h>

#include <vector>

#include "comm_core.h"

struct SetupCase {
    const char *what;
    int32_t port, rcvSize;
    char *rcvBuf;
    int32_t xmitSize;
    char *xmitBuf;
    int32_t baud, parity, stop, data;
    int32_t expected;
};

// r and x: two separate 128-byte buffers.
inline std::vector<SetupCase> badSetupCases(char *r, char *x)
{
    return {
        {"port 0", 0, 128, r, 128, x, 19200, 'N', 1, 8, comm::BAD_PORT},
        {"port 5", 5, 128, r, 128, x, 19200, 'N', 1, 8, comm::BAD_PORT},
        {"port -1", -1, 128, r, 128, x, 19200, 'N', 1, 8, comm::BAD_PORT},
        {"no receive buffer", 1, 128, nullptr, 128, x, 19200, 'N', 1, 8, comm::BAD_BUFFER},
        {"no transmit buffer", 1, 128, r, 128, nullptr, 19200, 'N', 1, 8, comm::BAD_BUFFER},
        {"receive size 0", 1, 0, r, 128, x, 19200, 'N', 1, 8, comm::BAD_BUFFER},
        {"transmit size 0", 1, 128, r, 0, x, 19200, 'N', 1, 8, comm::BAD_BUFFER},
        {"transmit size -1", 1, 128, r, -1, x, 19200, 'N', 1, 8, comm::BAD_BUFFER},
        {"overlapping buffers", 1, 128, r, 128, r + 64, 19200, 'N', 1, 8, comm::BAD_BUFFER},
        {"overlapping at the end", 1, 128, r, 64, r + 127, 19200, 'N', 1, 8, comm::BAD_BUFFER},
        {"baud 0", 1, 128, r, 128, x, 0, 'N', 1, 8, comm::BAD_BAUD},
        {"baud 1000", 1, 128, r, 128, x, 1000, 'N', 1, 8, comm::BAD_BAUD},
        {"baud 12345", 1, 128, r, 128, x, 12345, 'N', 1, 8, comm::BAD_BAUD},
        {"baud -9600", 1, 128, r, 128, x, -9600, 'N', 1, 8, comm::BAD_BAUD},
        {"parity X", 1, 128, r, 128, x, 19200, 'X', 1, 8, comm::BAD_PARITY},
        {"parity 0", 1, 128, r, 128, x, 19200, 0, 1, 8, comm::BAD_PARITY},
        {"stop bits 0", 1, 128, r, 128, x, 19200, 'N', 0, 8, comm::BAD_STOP_BITS},
        {"stop bits 3", 1, 128, r, 128, x, 19200, 'N', 3, 8, comm::BAD_STOP_BITS},
        {"data bits 4", 1, 128, r, 128, x, 19200, 'N', 1, 4, comm::BAD_DATA_BITS},
        {"data bits 9", 1, 128, r, 128, x, 19200, 'N', 1, 9, comm::BAD_DATA_BITS},
    };
}

#endif
