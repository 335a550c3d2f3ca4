// The simulator's side of the line: opening the pseudo-terminal or the tty,
// its session, its raw settings, and the stop signals.
#include "device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../comm/pty_link.h"
#include "wire_format.h"

namespace vsim::device {

[[noreturn]] void die(const std::string &what)
{
    std::fprintf(stderr, "veldran-sim: %s\n", what.c_str());
    std::exit(EXIT_ERROR);
}

namespace {

// The side that holds the pty master keeps the slave open as its
// controlling terminal, so that the other side's last close is not a hangup
// for it.  That needs a session of our own.  A process group leader (started
// by an interactive shell) cannot make one: then a child carries on in a new
// session while this process passes the stop signals on and ends with it.
void ensureSession()
{
    if (getsid(0) == getpid())
        return;
    if (setsid() >= 0)
        return;
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGCHLD);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    const pid_t child = fork();
    if (child < 0)
        die(std::string("fork: ") + std::strerror(errno));
    if (child == 0) {
        sigprocmask(SIG_UNBLOCK, &set, nullptr);
        if (setsid() < 0)
            die(std::string("setsid: ") + std::strerror(errno));
        return;
    }
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) != 0)
            continue;
        if (sig != SIGCHLD) {
            kill(child, sig);
            continue;
        }
        int status = 0;
        const pid_t r = waitpid(child, &status, WNOHANG);
        if (r == child)
            std::_Exit(WIFEXITED(status) ? WEXITSTATUS(status) : EXIT_SIGNALLED + WTERMSIG(status));
    }
}

void makeRaw(int fd, long baud)
{
    if (!wire::makeRaw(fd, baud))
        die(std::string("tty set-up: ") + std::strerror(errno));
}

} // namespace

// The speed the device's settings name, in bit/s; 0 when they name none we
// know (B0, an unusual rate) or cannot be read.  On a pseudo-terminal the
// settings are the ones the other side made: both ends share them.
long deviceBaud(int fd)
{
    termios t;
    if (fd < 0 || tcgetattr(fd, &t) != 0)
        return 0;
    return wire::speedOf(cfgetospeed(&t));
}

void setNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }
namespace {

// A new pseudo-terminal, the slave raw at `baud`; `what` names it in the
// message when none can be had.
Line rawPseudoTerminal(long baud, const char *what, comm::PtyPair &pty)
{
    const std::string failed = comm::openPtyPair(pty);
    if (!failed.empty())
        die(std::string("cannot create a pseudo-terminal") + what + ": " + failed);
    makeRaw(pty.slave, baud);
    Line l;
    l.fd = pty.master;
    l.slaveFd = pty.slave;
    l.device = pty.slaveName;
    return l;
}

} // namespace

// A pseudo-terminal of its own, the slave its controlling terminal, raw at
// `baud`.
Line openPseudoTerminal(long baud)
{
    ensureSession();
    comm::PtyPair pty;
    Line l = rawPseudoTerminal(baud, "", pty);
    if (ioctl(pty.slave, TIOCSCTTY, 0) != 0)
        std::fprintf(stderr, "veldran-sim: warning: %s not made the controlling terminal: %s\n", pty.slaveName.c_str(),
                     std::strerror(errno));
    return l;
}

Line openListenerTerminal(long baud)
{
    comm::PtyPair pty;
    return rawPseudoTerminal(baud, " for the tap", pty);
}

// A given device; a tty is set raw at `baud`.
Line openTty(const std::string &device, long baud)
{
    Line l;
    l.device = device;
    l.fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (l.fd < 0)
        die("cannot open " + device + ": " + std::strerror(errno));
    if (isatty(l.fd) && wire::speedConstant(baud) == B0)
        die("baud rate " + std::to_string(baud) + " not supported by a tty");
    if (isatty(l.fd))
        makeRaw(l.fd, baud);
    return l;
}

// SIGTERM, SIGINT and SIGHUP, blocked and read from the descriptor returned.
int stopSignals()
{
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGHUP);
    sigprocmask(SIG_BLOCK, &stops, nullptr);
    const int fd = signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd < 0)
        die(std::string("signalfd: ") + std::strerror(errno));
    return fd;
}

// (Re)creates `link` -> `target`, replacing only a symlink or nothing.
void makeLink(const std::string &link, const std::string &target)
{
    struct stat st;
    if (lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
        die(link + " exists and is not a symlink");
    const std::string failed = comm::pointLink(link, target);
    if (!failed.empty())
        die(failed);
}

void writeAll(int fd, const std::string &s)
{
    size_t off = 0;
    while (off < s.size()) {
        const ssize_t n = write(fd, s.data() + off, s.size() - off);
        if (n > 0)
            off += static_cast<size_t>(n);
        else if (n < 0 && errno == EINTR)
            continue;
        else if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 1000);
        } else
            return; // the control reader has gone; nothing to do about it
    }
}

} // namespace vsim::device
