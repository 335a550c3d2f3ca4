// Which device a COM port number stands for on POSIX systems: the device
// named by the environment variable VELDRAN_COMn when it is set and not
// empty, else /dev/ttyS(n-1).  Shared by the serial library, which opens
// it, and the host, which shows it.
#ifndef TOOLS_COMM_PORT_MAP_H
#define TOOLS_COMM_PORT_MAP_H

#include <grp.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace comm {

// Writes the device of port n into buf; returns the environment variable's
// name when it came from there (in var), or null for the default.
inline const char *portDevice(int port, char *buf, size_t size, char *var, size_t varSize)
{
    std::snprintf(var, varSize, "VELDRAN_COM%d", port);
    const char *path = std::getenv(var);
    if (path && *path) {
        std::snprintf(buf, size, "%s", path);
        return var;
    }
    std::snprintf(buf, size, "/dev/ttyS%d", port - 1);
    return nullptr;
}

// Why a device could not be opened, in words for the person at the
// console: `err` is the errno of the failed step.
inline void describeOpenError(int err, const char *path, char *buf, size_t size)
{
    switch (err) {
    case EACCES:
    case EPERM: {
        struct stat st;
        struct group *g = stat(path, &st) == 0 ? getgrgid(st.st_gid) : nullptr;
        if (g)
            std::snprintf(buf, size,
                          "permission denied: the user is not in the group that owns the device (%s); add the user to "
                          "it (usermod -aG %s USER) and log in again",
                          g->gr_name, g->gr_name);
        else
            std::snprintf(buf, size, "permission denied: the user may not open the device");
        return;
    }
    case ENOENT:
    case ENODEV:
    case ENXIO:
        std::snprintf(buf, size, "no such device (%s); point the port at the device with the environment variable",
                      std::strerror(err));
        return;
    case EBUSY:
    case EWOULDBLOCK:
        std::snprintf(buf, size, "the device is in use by another program, which has it open exclusively");
        return;
    default:
        std::snprintf(buf, size, "%s", std::strerror(err));
    }
}

} // namespace comm

#endif
