// The serial library on POSIX serial devices, for the native build.
//
// Port n (1 to 4) is the device named by the environment variable
// VELDRAN_COMn, or /dev/ttyS(n-1) when that is unset or empty (port_map.h).
// The device is held exclusively: a lock that every program using this
// library (and any other that locks the device the same way) respects, and
// the terminal's own exclusive mode against programs that do not lock.  It
// runs raw (no echo, no line editing, no flow control, no character
// translation) at the rate and framing given to _COMsetup, with reads that
// never block, in the driver's low-latency mode where it has one (a USB
// adapter otherwise holds received bytes back for milliseconds).  With
// VELDRAN_COMn_RS485=1 the driver switches the transmitter on for sending
// (RTS high while sending) on an RS-485 line.  A failure to open says on
// stderr which port, which device and why.  The receive and transmit queues
// are rings in the caller's buffers (see comm_core.h); the system's own
// queues sit behind them and are counted with FIONREAD and TIOCOUTQ and
// emptied with tcflush.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "../../serial/comm.h"
#include "comm_core.h"
#include "port_map.h"
#include "wire_format.h"

#if defined(__linux__)
#include <linux/serial.h>
#endif

namespace {

// How long _COMrcvqueue may wait for a character when none is there.
constexpr long IDLE_WAIT_NS = 200 * 1000;

struct PosixPort {
    using Handle = int;
    static constexpr Handle NONE = -1;

    // The rates of a PC's COM port, up to 115200 bit/s; B0 for any other.
    static speed_t speedOf(int32_t baud) { return baud <= 115200 ? wire::speedConstant(baud) : B0; }

    static int32_t refuse(int32_t port, const char *path, int fd, int err, int32_t code)
    {
        char why[256];
        comm::describeOpenError(err, path, why, sizeof why);
        std::fprintf(stderr, "comm: cannot open COM%d (%s): %s\n", static_cast<int>(port), path, why);
        if (fd >= 0)
            close(fd);
        return code;
    }

    static int32_t open(int32_t port, const comm::LineSettings &line, int *out)
    {
        char path[512], var[32];
        comm::portDevice(port, path, sizeof path, var, sizeof var);
        int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return refuse(port, path, -1, errno, errno == EBUSY ? comm::IN_USE : comm::NO_DEVICE);
        if (!isatty(fd))
            return refuse(port, path, fd, ENOTTY, comm::NOT_SERIAL);
        // A second program on the same line would take replies meant for
        // this one: the device is ours alone while it is open.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0)
            return refuse(port, path, fd, errno == EWOULDBLOCK ? EBUSY : errno, comm::IN_USE);
        ioctl(fd, TIOCEXCL);
        lowLatency(fd);
        if (!rs485(port, fd)) {
            int err = errno;
            std::fprintf(stderr,
                         "comm: COM%d (%s): RS-485 direction control asked for (VELDRAN_COM%d_RS485), but the "
                         "driver refuses it: %s\n",
                         static_cast<int>(port), path, static_cast<int>(port), std::strerror(err));
            close(fd);
            return comm::NO_RS485;
        }
        termios t;
        if (tcgetattr(fd, &t) != 0) {
            int err = errno;
            close(fd);
            return refuse(port, path, -1, err, comm::NOT_SERIAL);
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
        if (tcsetattr(fd, TCSANOW, &t) != 0 || tcgetattr(fd, &got) != 0 || cfgetospeed(&got) != speed ||
            (got.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB)) != (t.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB))) {
            std::fprintf(stderr,
                         "comm: cannot open COM%d (%s): the device refuses %d baud, %d data bits, parity %c, "
                         "%d stop bits\n",
                         static_cast<int>(port), path, static_cast<int>(line.baud), static_cast<int>(line.dataBits),
                         line.parity == comm::Parity::None   ? 'N'
                         : line.parity == comm::Parity::Even ? 'E'
                                                             : 'O',
                         static_cast<int>(line.stopBits));
            close(fd);
            return comm::SETTINGS_REFUSED;
        }
        tcflush(fd, TCIOFLUSH); // nothing from before the set-up
        *out = fd;
        return comm::SETUP_OK;
    }

    // The exclusive mode outlives the descriptor while another holds the
    // terminal open (the far side of a pseudo-terminal): it is given up
    // before the close, so that the next set-up can open the device again.
    static void close(int fd)
    {
        ioctl(fd, TIOCNXCL);
        ::close(fd); // also releases the lock
    }

    // The driver's low-latency mode, where it has one: received bytes are
    // handed on at once.  A pseudo-terminal, and many drivers, have none;
    // that is no error.
    static void lowLatency(int fd)
    {
#if defined(__linux__) && defined(TIOCGSERIAL)
        serial_struct ss;
        if (ioctl(fd, TIOCGSERIAL, &ss) == 0 && !(ss.flags & ASYNC_LOW_LATENCY)) {
            ss.flags |= ASYNC_LOW_LATENCY;
            ioctl(fd, TIOCSSERIAL, &ss);
        }
#else
        (void)fd;
#endif
    }

    // RS-485 direction control by the kernel driver, when VELDRAN_COMn_RS485
    // asks for it: RTS high while sending, low afterwards.  False (errno
    // set) when asked for and refused.
    static bool rs485(int32_t port, int fd)
    {
        char var[32];
        std::snprintf(var, sizeof var, "VELDRAN_COM%d_RS485", static_cast<int>(port));
        const char *want = std::getenv(var);
        if (!want || !*want || std::strcmp(want, "0") == 0)
            return true;
#if defined(__linux__) && defined(TIOCSRS485)
        serial_rs485 rs;
        std::memset(&rs, 0, sizeof rs);
        rs.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        return ioctl(fd, TIOCSRS485, &rs) == 0;
#else
        (void)fd;
        errno = ENOTSUP;
        return false;
#endif
    }

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

    // Up to IDLE_WAIT_NS; the caller's own time-out test is late by that
    // much at most.
    static bool waitReadable(int fd)
    {
        pollfd p = {fd, POLLIN, 0};
        timespec wait = {0, IDLE_WAIT_NS};
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
