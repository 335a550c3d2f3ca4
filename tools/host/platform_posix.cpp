// Platform services on Linux.
#include "platform.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include "wire_format.h"

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

// Set by SIGWINCH, taken by terminalResized.
volatile std::sig_atomic_t sizeChanged = 0;

extern "C" void onWindowChange(int) { sizeChanged = 1; }

bool terminalSize(int *columns, int *rows)
{
    struct winsize ws;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) != 0)
        return false;
    if (ws.ws_col > 0)
        *columns = ws.ws_col;
    if (ws.ws_row > 0)
        *rows = ws.ws_row;
    return true;
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

std::string listenPortName(int port)
{
    std::string device, source;
    comPortDevice(port, device, source);
    return device;
}

std::string defaultDeviceNote(int port)
{
    char path[512], var[32];
    if (comm::portDevice(port, path, sizeof path, var, sizeof var))
        return "";
    return "COM" + std::to_string(port) + " is " + path + ", the default, because " + var + " is not set; set " + var +
           " to the line's device (a USB adapter such as /dev/ttyUSB0, or the simulator's pseudo-terminal)";
}

int openListenPort(const std::string &device, int baud, std::string &error)
{
    // Read-only: nothing this program does can put a byte on the line.
    const int fd = open(device.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + device + " for listening: " + std::strerror(errno);
        return -1;
    }
    if (isatty(fd)) {
        if (!wire::makeRaw(fd, baud)) {
            error = "cannot set " + device + " to " + std::to_string(baud) + " baud: " + std::strerror(errno);
            close(fd);
            return -1;
        }
        tcflush(fd, TCIFLUSH); // only what it held from before: nothing goes out
    }
    return fd;
}

int readListenPort(int fd, char *buf, int n, int waitMs) { return readInput(fd, buf, n, waitMs); }

int readInput(int fd, char *buf, int n, int waitMs)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, waitMs) <= 0)
        return 0;
    const ssize_t r = read(fd, buf, static_cast<size_t>(n));
    if (r > 0)
        return static_cast<int>(r);
    if (r < 0 && (errno == EAGAIN || errno == EINTR))
        return 0;
    return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) || r == 0 ? -1 : 0;
}

bool stdinTerminal() { return isatty(STDIN_FILENO); }

void stdinKeys(bool keys)
{
    static termios saved;
    static bool changed = false;
    if (keys && !changed && tcgetattr(STDIN_FILENO, &saved) == 0) {
        termios t = saved;
        t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        changed = tcsetattr(STDIN_FILENO, TCSANOW, &t) == 0;
    } else if (!keys && changed) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        changed = false;
    }
}

void closeListenPort(int fd) { close(fd); }

bool stdoutTerminal(int *columns, int *rows)
{
    if (!isatty(STDOUT_FILENO))
        return false;
    terminalSize(columns, rows);
    return true;
}

void watchTerminalSize()
{
    // Calls under way go on (SA_RESTART); the serial library's waits take
    // an interrupted wait for a short one.
    struct sigaction sa = {};
    sa.sa_handler = onWindowChange;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGWINCH, &sa, nullptr);
}

bool terminalResized(int *columns, int *rows)
{
    if (!sizeChanged)
        return false;
    sizeChanged = 0;
    return terminalSize(columns, rows);
}

} // namespace vhost
