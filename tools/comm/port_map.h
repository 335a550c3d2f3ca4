// Which device a COM port number stands for on POSIX systems: the device
// named by the environment variable VELDRAN_COMn when it is set and not
// empty, else /dev/ttyS(n-1).  Shared by the serial library, which opens
// it, and the host, which shows it.
#ifndef TOOLS_COMM_PORT_MAP_H
#define TOOLS_COMM_PORT_MAP_H

#include <stdio.h>
#include <stdlib.h>

namespace comm {

// Writes the device of port n into buf; returns the environment variable's
// name when it came from there (in var), or null for the default.
inline const char *portDevice(int port, char *buf, size_t size, char *var, size_t varSize)
{
    snprintf(var, varSize, "VELDRAN_COM%d", port);
    const char *path = getenv(var);
    if (path && *path) {
        snprintf(buf, size, "%s", path);
        return var;
    }
    snprintf(buf, size, "/dev/ttyS%d", port - 1);
    return nullptr;
}

} // namespace comm

#endif
