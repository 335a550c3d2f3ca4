// Platform services on Linux.
#include "platform.h"

#include <dlfcn.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <ctime>

#include "../comm/port_map.h"

namespace vhost {

namespace {

// Looked up, not linked: the programs that load the native module carry the
// POSIX serial library, the tests of the host's own parts do not.
using ReceivedCount = int32_t (*)(int32_t);
ReceivedCount receivedCount()
{
    static const ReceivedCount count = reinterpret_cast<ReceivedCount>(dlsym(RTLD_DEFAULT, "commReceived"));
    return count;
}

using Watch = void (*)(void (*)(int32_t, int32_t, const char *, int32_t));
SerialWatcher watcherNow = nullptr;
void relay(int32_t port, int32_t sent, const char *bytes, int32_t n)
{
    if (watcherNow)
        watcherNow(port, sent != 0, bytes, n);
}

} // namespace

bool watchSerialLibrary(SerialWatcher watcher)
{
    static const Watch watch = reinterpret_cast<Watch>(dlsym(RTLD_DEFAULT, "commWatch"));
    if (!watch)
        return false;
    watcherNow = watcher;
    watch(watcher ? relay : nullptr);
    return true;
}

bool countsReceived() { return receivedCount() != nullptr; }

long long receivedOnPort(int port) { return countsReceived() ? receivedCount()(port) : -1; }

void sleepMs(int ms)
{
    if (ms <= 0)
        return;
    timespec t{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0) {
    }
}

void comPortDevice(int port, std::string &device, std::string &source)
{
    char path[512], var[32];
    const char *from = comm::portDevice(port, path, sizeof path, var, sizeof var);
    device = path;
    source = from ? std::string("environment ") + from : std::string("default; set ") + var + " to change";
}

std::string defaultDeviceNote(int port)
{
    char path[512], var[32];
    if (comm::portDevice(port, path, sizeof path, var, sizeof var))
        return "";
    return "COM" + std::to_string(port) + " is " + path + ", the default, because " + var + " is not set; set " + var +
           " to the line's device (a USB adapter such as /dev/ttyUSB0, or the simulator's pseudo-terminal)";
}

bool stdoutTerminal(int *columns, int *rows)
{
    if (!isatty(STDOUT_FILENO))
        return false;
    struct winsize ws;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0) {
        if (ws.ws_col > 0)
            *columns = ws.ws_col;
        if (ws.ws_row > 0)
            *rows = ws.ws_row;
    }
    return true;
}

} // namespace vhost
