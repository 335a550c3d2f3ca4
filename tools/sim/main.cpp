// veldran-sim: answers as a line of 7000-series modules on a pseudo-terminal
// (or a given tty).  See README.md beside this file.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>

#include "plant.h"
#include "sim.h"
#include "veldran_version.h"
#include "wire_format.h"

namespace {

const char *const USAGE =
    "usage: veldran-sim --plant FILE [--link PATH] [--tty DEVICE] [--baud N] [--turnaround-ms N] [--seed N] "
    "[--log FILE]\n"
    "       veldran-sim --version | --help\n";

struct Args {
    std::string plant, link, tty, log;
    long baud = -1;
    double turnaround = -1;
    unsigned long long seed = 1;
};

[[noreturn]] void die(const std::string &what)
{
    std::fprintf(stderr, "veldran-sim: %s\n", what.c_str());
    std::exit(2);
}

Args parseArgs(int argc, char **argv)
{
    Args a;
    for (int i = 1; i < argc; ++i) {
        const std::string k = argv[i];
        auto val = [&]() -> std::string {
            if (i + 1 >= argc)
                die(k + " needs a value\n" + USAGE);
            return argv[++i];
        };
        auto num = [&](const std::string &s) {
            char *end = nullptr;
            double d = std::strtod(s.c_str(), &end);
            if (!end || *end || s.empty() || !std::isfinite(d) || d < 0)
                die("bad value for " + k + ": " + s);
            return d;
        };
        if (k == "--plant")
            a.plant = val();
        else if (k == "--link")
            a.link = val();
        else if (k == "--tty")
            a.tty = val();
        else if (k == "--log")
            a.log = val();
        else if (k == "--baud") {
            a.baud = static_cast<long>(num(val()));
            if (a.baud < 50 || a.baud > 4000000)
                die("--baud out of range");
        } else if (k == "--turnaround-ms")
            a.turnaround = num(val());
        else if (k == "--seed")
            a.seed = static_cast<unsigned long long>(num(val()));
        else if (k == "--help" || k == "-h") {
            std::fputs(USAGE, stdout);
            std::exit(0);
        } else if (k == "--version") {
            std::printf("veldran-sim %s\n", VELDRAN_VERSION);
            std::exit(0);
        } else
            die("unknown argument " + k + "\n" + USAGE);
    }
    if (a.plant.empty())
        die(std::string("--plant is required\n") + USAGE);
    return a;
}

double nowMs(const timespec &start)
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (t.tv_sec - start.tv_sec) * 1000.0 + (t.tv_nsec - start.tv_nsec) / 1e6;
}

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
            std::_Exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
}

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

void makeRaw(int fd, long baud)
{
    if (!wire::makeRaw(fd, baud))
        die(std::string("tty set-up: ") + std::strerror(errno));
}

void setNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// (Re)creates `link` -> `target`, replacing only a symlink or nothing.
void makeLink(const std::string &link, const std::string &target)
{
    struct stat st;
    if (lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
        die(link + " exists and is not a symlink");
    const std::string tmp = link + ".tmp." + std::to_string(getpid());
    unlink(tmp.c_str());
    if (symlink(target.c_str(), tmp.c_str()) != 0)
        die("symlink " + tmp + ": " + std::strerror(errno));
    if (rename(tmp.c_str(), link.c_str()) != 0) {
        unlink(tmp.c_str());
        die("rename " + tmp + " to " + link + ": " + std::strerror(errno));
    }
}

// Removes `link` if it still points to `target`.
void removeLink(const std::string &link, const std::string &target)
{
    char buf[4096];
    const ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    if (n < 0)
        return;
    buf[n] = '\0';
    if (target == buf)
        unlink(link.c_str());
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

} // namespace

int main(int argc, char **argv)
{
    const Args args = parseArgs(argc, argv);
    signal(SIGPIPE, SIG_IGN);

    vsim::Plant plant;
    try {
        plant = vsim::loadPlant(args.plant);
    } catch (const vsim::PlantError &e) {
        die(e.what());
    }

    std::FILE *logf = stderr;
    if (!args.log.empty()) {
        logf = std::fopen(args.log.c_str(), "a");
        if (!logf)
            die("cannot open log " + args.log + ": " + std::strerror(errno));
    }

    int lineFd = -1, slaveFd = -1;
    std::string device;
    const long baud = args.baud > 0 ? args.baud : plant.line.baud;
    if (args.tty.empty()) {
        ensureSession();
        lineFd = posix_openpt(O_RDWR | O_NOCTTY);
        if (lineFd < 0 || grantpt(lineFd) != 0 || unlockpt(lineFd) != 0)
            die(std::string("cannot create a pseudo-terminal: ") + std::strerror(errno));
        const char *name = ptsname(lineFd);
        if (!name)
            die("ptsname failed");
        device = name;
        slaveFd = open(device.c_str(), O_RDWR); // no O_NOCTTY: it becomes ours
        if (slaveFd < 0)
            die("cannot open " + device + ": " + std::strerror(errno));
        if (ioctl(slaveFd, TIOCSCTTY, 0) != 0)
            std::fprintf(stderr, "veldran-sim: warning: %s not made the controlling terminal: %s\n", device.c_str(),
                         std::strerror(errno));
        makeRaw(slaveFd, baud);
        fcntl(lineFd, F_SETFD, FD_CLOEXEC);
        fcntl(slaveFd, F_SETFD, FD_CLOEXEC);
    } else {
        device = args.tty;
        lineFd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (lineFd < 0)
            die("cannot open " + device + ": " + std::strerror(errno));
        if (isatty(lineFd) && wire::speedConstant(baud) == B0)
            die("baud rate " + std::to_string(baud) + " not supported by a tty");
        if (isatty(lineFd))
            makeRaw(lineFd, baud);
    }
    setNonBlocking(lineFd);

    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGHUP);
    sigprocmask(SIG_BLOCK, &stops, nullptr);
    const int sigFd = signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);
    if (sigFd < 0)
        die(std::string("signalfd: ") + std::strerror(errno));

    if (!args.link.empty())
        makeLink(args.link, device);

    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    vsim::Simulator sim(std::move(plant), args.seed, vsim::Logger(logf));
    if (args.baud > 0)
        sim.setBaud(static_cast<int>(args.baud));
    if (args.turnaround >= 0)
        sim.setTurnaround(args.turnaround);
    // The pacing follows the speed the host sets on the device: what the
    // settings name now is what the simulator itself left there, and a change
    // from that is the host's.  Read again at every burst received, before
    // its characters are paced (one ioctl).
    const int settingsFd = slaveFd >= 0 ? slaveFd : lineFd;
    long settingsBaud = deviceBaud(settingsFd);
    {
        char buf[256];
        std::snprintf(buf, sizeof buf, "start: %s, %d baud, turnaround %.3f ms, %zu modules, seed %llu", device.c_str(),
                      sim.baud(), sim.turnaround(), sim.plant().modules.size(), args.seed);
        vsim::Logger(logf).event(0, buf);
    }

    std::printf("READY %s\n", device.c_str());
    std::fflush(stdout);

    int ctlFd = STDIN_FILENO;
    setNonBlocking(ctlFd);
    std::string ctlBuf, pending; // control text; reply bytes that the line did not take yet
    bool stop = false;
    int rc = 0;
    while (!stop && !sim.quitRequested()) {
        double now = nowMs(start);
        sim.tick(now);
        pending += sim.takeDue(now);

        double wake = std::numeric_limits<double>::infinity();
        if (sim.hasOutput())
            wake = sim.nextDue();
        if (auto d = sim.nextDeadline())
            wake = std::min(wake, *d);

        pollfd fds[3] = {{lineFd, static_cast<short>(POLLIN | (pending.empty() ? 0 : POLLOUT)), 0},
                         {ctlFd, POLLIN, 0},
                         {sigFd, POLLIN, 0}};
        timespec ts{}, *tsp = nullptr;
        if (pending.empty() && std::isfinite(wake)) {
            const double ms = std::max(0.0, wake - now);
            ts.tv_sec = static_cast<time_t>(ms / 1000);
            ts.tv_nsec = static_cast<long>(std::fmod(ms, 1000.0) * 1e6);
            tsp = &ts;
        } else if (!pending.empty()) {
            ts.tv_nsec = 50 * 1000 * 1000; // a full buffer drains; look again soon
            tsp = &ts;
        }
        const int n = ppoll(fds, 3, tsp, nullptr);
        if (n < 0 && errno != EINTR)
            die(std::string("ppoll: ") + std::strerror(errno));
        now = nowMs(start);

        if (fds[2].revents & POLLIN) {
            signalfd_siginfo si;
            if (read(sigFd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
                vsim::Logger(logf).event(now, std::string("stop: ") + strsignal(static_cast<int>(si.ssi_signo)));
                stop = true;
            }
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) {
            char buf[512];
            const ssize_t r = read(lineFd, buf, sizeof buf);
            if (r > 0) {
                const long b = deviceBaud(settingsFd);
                if (b != settingsBaud) {
                    settingsBaud = b;
                    if (b > 0)
                        sim.hostBaud(static_cast<int>(b), now);
                }
                sim.receive(std::string_view(buf, static_cast<size_t>(r)), now);
            } else if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) &&
                       (r == 0 || (errno != EAGAIN && errno != EINTR))) {
                // A device that went away (the pty's own slave stays open, so this
                // is a --tty line): nothing more to answer on.
                vsim::Logger(logf).event(now, "stop: the line " + device + " is gone");
                rc = 1;
                stop = true;
            }
        }
        if (!pending.empty() && (fds[0].revents & POLLOUT)) {
            const ssize_t w = write(lineFd, pending.data(), pending.size());
            if (w > 0)
                pending.erase(0, static_cast<size_t>(w));
        }
        if (ctlFd >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))) {
            char buf[1024];
            const ssize_t r = read(ctlFd, buf, sizeof buf);
            if (r > 0) {
                ctlBuf.append(buf, static_cast<size_t>(r));
                for (size_t nl; (nl = ctlBuf.find('\n')) != std::string::npos;) {
                    const std::string line = ctlBuf.substr(0, nl);
                    ctlBuf.erase(0, nl + 1);
                    if (line.find_first_not_of(" \t\r") == std::string::npos)
                        continue;
                    writeAll(STDOUT_FILENO, sim.control(line, now) + "\n");
                    if (sim.quitRequested())
                        break;
                }
            } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
                ctlFd = -1; // end of the control channel; the line goes on
            }
        }
    }

    const double now = nowMs(start);
    if (!pending.empty()) {
        // Give the reply under way its chance to leave.
        const ssize_t w = write(lineFd, pending.data(), pending.size());
        (void)w;
    }
    const vsim::Stats &st = sim.stats();
    char buf[256];
    std::snprintf(buf, sizeof buf, "exit: commands=%llu replies=%llu", static_cast<unsigned long long>(st.commands),
                  static_cast<unsigned long long>(st.replies));
    vsim::Logger(logf).event(now, buf);
    if (!args.link.empty())
        removeLink(args.link, device);
    if (slaveFd >= 0)
        close(slaveFd);
    close(lineFd);
    if (logf != stderr)
        std::fclose(logf);
    return rc;
}
