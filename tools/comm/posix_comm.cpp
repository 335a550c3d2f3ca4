// The serial library on POSIX serial devices, for the native build.
//
// Port n (1 to 4) is the device named by the environment variable
// VELDRAN_COMn, or /dev/ttyS(n-1) when that is unset or empty.  The device
// runs raw (no echo, no line editing, no flow control, no character
// translation) at the rate and framing given to _COMsetup, with reads that
// never block.  The receive and transmit queues are rings in the caller's
// buffers (see comm_core.h); the system's own queues sit behind them and
// are counted with FIONREAD and TIOCOUTQ and emptied with tcflush.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "../../serial/comm.h"
#include "comm_core.h"

namespace {

// How long _COMrcvqueue may wait for a character when none is there.
constexpr long kIdleWaitNs = 200 * 1000;

struct PosixPort {
    using Handle = int;
    static constexpr Handle kNone = -1;

    static speed_t speedOf(int32_t baud)
    {
        switch (baud) {
        case 110: return B110;
        case 300: return B300;
        case 600: return B600;
        case 1200: return B1200;
        case 2400: return B2400;
        case 4800: return B4800;
        case 9600: return B9600;
        case 19200: return B19200;
        case 38400: return B38400;
        case 57600: return B57600;
        case 115200: return B115200;
        default: return B0;
        }
    }

    static int32_t open(int32_t port, const comm::LineSettings &line, int *out)
    {
        char var[16];
        snprintf(var, sizeof var, "VELDRAN_COM%d", port);
        char fallback[32];
        const char *path = getenv(var);
        if (!path || !*path) {
            snprintf(fallback, sizeof fallback, "/dev/ttyS%d", port - 1);
            path = fallback;
        }
        int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return comm::kNoDevice;
        termios t;
        if (tcgetattr(fd, &t) != 0) {
            ::close(fd);
            return comm::kNotSerial;
        }
        cfmakeraw(&t);
        t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | IGNPAR | PARMRK);
        t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
        t.c_cflag |= CLOCAL | CREAD;
        static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
        t.c_cflag |= sizes[line.dataBits - 5];
        if (line.parity != comm::Parity::None) {
            t.c_cflag |= PARENB;
            if (line.parity == comm::Parity::Odd)
                t.c_cflag |= PARODD;
            t.c_iflag |= INPCK | IGNPAR; // a character with a parity error is dropped
        }
        if (line.stopBits == 2)
            t.c_cflag |= CSTOPB;
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        speed_t speed = speedOf(line.baud);
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
        // tcsetattr succeeds when any part is taken, so the result is read back.
        termios got;
        if (tcsetattr(fd, TCSANOW, &t) != 0 || tcgetattr(fd, &got) != 0 ||
            cfgetospeed(&got) != speed || (got.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB)) !=
                                              (t.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB))) {
            ::close(fd);
            return comm::kSettingsRefused;
        }
        tcflush(fd, TCIOFLUSH); // nothing from before the set-up
        *out = fd;
        return comm::kSetupOk;
    }

    static void close(int fd) { ::close(fd); }

    static int32_t read(int fd, char *buf, int32_t max)
    {
        ssize_t n = ::read(fd, buf, static_cast<size_t>(max));
        return n > 0 ? static_cast<int32_t>(n) : 0; // EAGAIN, EINTR, a hang-up: nothing now
    }

    static int32_t write(int fd, const char *buf, int32_t len)
    {
        if (len == 0)
            return 0;
        ssize_t n = ::write(fd, buf, static_cast<size_t>(len));
        if (n >= 0)
            return static_cast<int32_t>(n);
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
    }

    static int32_t inQueue(int fd)
    {
        int n = 0;
        return ioctl(fd, FIONREAD, &n) == 0 && n > 0 ? n : 0;
    }

    static int32_t outQueue(int fd)
    {
        int n = 0;
        return ioctl(fd, TIOCOUTQ, &n) == 0 && n > 0 ? n : 0;
    }

    static void purgeInput(int fd) { tcflush(fd, TCIFLUSH); }
    static void purgeOutput(int fd) { tcflush(fd, TCOFLUSH); }

    static void waitWritable(int fd, int32_t ms)
    {
        pollfd p = {fd, POLLOUT, 0};
        poll(&p, 1, ms);
    }

    // Up to kIdleWaitNs; the caller's own time-out test is late by that
    // much at most.
    static bool waitReadable(int fd)
    {
        pollfd p = {fd, POLLIN, 0};
        timespec wait = {0, kIdleWaitNs};
        return ppoll(&p, 1, &wait, nullptr) > 0 && (p.revents & POLLIN);
    }

    static int64_t nowMs()
    {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    }
};

comm::Library<PosixPort> lib;

} // namespace

COMM_DEFINE_EXPORTS(lib)
