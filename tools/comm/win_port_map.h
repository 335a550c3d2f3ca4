// Which Windows COM port a port number stands for: port n (1 to 4) is the
// port named by the environment variable VELDRAN_COMn when it is set and
// not empty (COM7, com7 or \\.\COM7), else \\.\COMn.  Shared by comm.dll,
// which opens it, and the host, which shows it; free of Windows headers, so
// that the native tests check the names too.
#ifndef TOOLS_COMM_WIN_PORT_MAP_H
#define TOOLS_COMM_WIN_PORT_MAP_H

#include <cstdio>
#include <cstdlib>

namespace comm {

// The highest COM number Windows hands out.
constexpr int MAX_COM_NUMBER = 256;

// k for "COMk" or "\\.\COMk" (COM in either case, k from 1 to 256 written
// without leading zeros); 0 for anything else, so that a name that is not
// quite a COM port never opens some other port.
inline int comNumber(const char *name)
{
    if (name[0] == '\\' && name[1] == '\\' && name[2] == '.' && name[3] == '\\')
        name += 4;
    if ((name[0] != 'C' && name[0] != 'c') || (name[1] != 'O' && name[1] != 'o') || (name[2] != 'M' && name[2] != 'm'))
        return 0;
    const char *digits = name + 3;
    if (*digits < '1' || *digits > '9')
        return 0;
    int k = 0;
    for (const char *d = digits; *d; ++d) {
        if (*d < '0' || *d > '9')
            return 0;
        k = k * 10 + (*d - '0');
        if (k > MAX_COM_NUMBER)
            return 0;
    }
    return k;
}

struct WinPortDevice {
    char device[16];   // "\\.\COM7"; empty when the variable names no COM port
    char var[32];      // "VELDRAN_COM1"
    const char *value; // the variable's value when set and not empty, else null
};

inline WinPortDevice winPortDevice(int port)
{
    WinPortDevice d;
    std::snprintf(d.var, sizeof d.var, "VELDRAN_COM%d", port);
    const char *value = std::getenv(d.var);
    d.value = value && *value ? value : nullptr;
    int k = d.value ? comNumber(d.value) : port;
    d.device[0] = '\0';
    if (k > 0)
        std::snprintf(d.device, sizeof d.device, "\\\\.\\COM%d", k);
    return d;
}

} // namespace comm

#endif
