// veldran-sim: answers as a line of 7000-series modules on a pseudo-terminal
// (or a given tty).  See README.md beside this file.
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

#include "../comm/pty_link.h"
#include "device.h"
#include "plant.h"
#include "sim.h"
#include "veldran_version.h"
#include "wire_format.h"

using namespace vsim::device;

namespace {

struct Args {
    std::string plant, link, tty, log, tap;
    double baud = -1;           // below 0: the plant's
    double turnaround = -1;     // below 0: the plant's
    double adapterLatency = -1; // below 0: the plant's
    double adapterJitter = -1;  // below 0: the plant's
    unsigned long long seed = 1;
};

// A finite number from `lo` to `hi`; CLI11's own ranges let "nan" through.
CLI::Validator finiteBetween(double lo, double hi, const std::string &says)
{
    return CLI::Validator(
        [lo, hi, says](std::string &s) {
            char *end = nullptr;
            const double d = std::strtod(s.c_str(), &end);
            const bool ok = !s.empty() && end && *end == '\0' && std::isfinite(d) && d >= lo && d <= hi;
            return ok ? std::string() : says;
        },
        "");
}

// A whole number in decimal digits, passed on without leading zeros (CLI11
// would read those as octal).
CLI::Validator decimalWhole()
{
    return CLI::Validator(
        [](std::string &s) {
            errno = 0;
            char *end = nullptr;
            const unsigned long long n = std::strtoull(s.c_str(), &end, 10);
            if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos || errno != 0)
                return std::string("a whole number, 0 or more");
            s = std::to_string(n);
            return std::string();
        },
        "");
}

// Reads the command line into `a`.  Gives the exit status when the program
// ends here: --help, --version or a mistake (said on stderr).
std::optional<Exit> parseArgs(int argc, char **argv, Args &a)
{
    CLI::App app{"veldran-sim: answers as a line of 7000-series modules on a pseudo-terminal (or a given tty)"};
    app.set_version_flag("--version", "veldran-sim " VELDRAN_VERSION);
    // An option given twice takes its last value (callers append to a
    // command line of their own).
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.failure_message([](const CLI::App *self, const CLI::Error &e) {
        return "veldran-sim: " + CLI::FailureMessage::simple(self, e);
    });
    app.add_option("--plant", a.plant, "the plant file")->type_name("FILE")->required();
    app.add_option("--link", a.link, "(re)create this symlink to the line's device; removed on exit")
        ->type_name("PATH");
    app.add_option("--tty", a.tty, "answer on this tty instead of a new pseudo-terminal")->type_name("DEVICE");
    app.add_option("--baud", a.baud,
                   "the line's speed until the host sets one, 50 to 4000000 (default: the plant's, else 19200)")
        ->type_name("N")
        ->check(finiteBetween(50, 4000000, "50 to 4000000"));
    app.add_option("--turnaround-ms", a.turnaround,
                   "delay from the end of a command to its reply, fractions allowed (default: the plant's, else 1)")
        ->type_name("N")
        ->check(finiteBetween(0, std::numeric_limits<double>::max(), "0 or more"));
    app.add_option("--adapter-latency", a.adapterLatency,
                   "a USB serial adapter's latency timer between the line and the host, 0 to 255 ms, fractions "
                   "allowed; 0: none (default: the plant's, else none)")
        ->type_name("MS")
        ->check(finiteBetween(0, vsim::Adapter::MAX_LATENCY_MS, "0 to 255"));
    app.add_option("--adapter-jitter", a.adapterJitter,
                   "the adapter's delivery jitter, 0 to 50 ms (default: the plant's, else 0)")
        ->type_name("MS")
        ->check(finiteBetween(0, vsim::Adapter::MAX_JITTER_MS, "0 to 50"));
    app.add_option("--seed", a.seed, "seed of the fault probabilities")
        ->type_name("N")
        ->transform(decimalWhole())
        ->capture_default_str();
    app.add_option("--tap", a.tap,
                   "a second pseudo-terminal, linked at PATH, that hears the line as a listen-only adapter does")
        ->type_name("PATH");
    app.add_option("--log", a.log, "append the log to this file instead of stderr")->type_name("FILE");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? EXIT_OK : EXIT_ERROR;
    }
    return std::nullopt;
}

// Milliseconds since the simulator started.
class Clock {
public:
    Clock() { clock_gettime(CLOCK_MONOTONIC, &start_); }
    double now() const
    {
        timespec t;
        clock_gettime(CLOCK_MONOTONIC, &t);
        return (t.tv_sec - start_.tv_sec) * 1000.0 + (t.tv_nsec - start_.tv_nsec) / 1e6;
    }

private:
    timespec start_{};
};

vsim::Plant loadPlant(const std::string &path)
{
    try {
        return vsim::loadPlant(path);
    } catch (const vsim::PlantError &e) {
        die(e.what());
    }
}

std::FILE *openLog(const std::string &path)
{
    if (path.empty())
        return stderr;
    std::FILE *f = std::fopen(path.c_str(), "a");
    if (!f)
        die("cannot open log " + path + ": " + std::strerror(errno));
    return f;
}

// Moves the bytes between the line, the control channel (stdin and stdout)
// and the simulator, until a stop signal, `quit` or the loss of the line.
class EventLoop {
public:
    EventLoop(vsim::Simulator &sim, const Line &line, const Line &tap, int sigFd, std::FILE *logf, const Clock &clock)
        : sim_(sim), line_(line), tap_(tap), sigFd_(sigFd), log_(logf), clock_(clock),
          settingsBaud_(deviceBaud(line.settingsFd()))
    {
    }
    Exit run();
    // Gives the reply under way its chance to leave.
    void flush();

private:
    enum { LINE, CONTROL, SIGNALS, TAP };
    void waitForEvents(double now);
    void serveTap(double now);
    void readSignal(double now);
    void readLine(double now);
    void readControl(double now);

    vsim::Simulator &sim_;
    const Line &line_;
    const Line &tap_; // fd -1: no tap
    int sigFd_;
    vsim::Logger log_;
    const Clock &clock_;
    // The pacing follows the speed the host sets on the device: what the
    // settings name now is what the simulator itself left there, and a change
    // from that is the host's.  Read again at every burst received, before
    // its characters are paced (one ioctl).
    long settingsBaud_;
    int ctlFd_ = STDIN_FILENO; // -1 once the control channel has ended
    std::string ctlBuf_;       // control text not yet a whole line
    std::string pending_;      // reply bytes that the line did not take yet
    std::string tapPending_;   // what the tap heard and its listener has not taken yet
    pollfd fds_[4] = {};
    bool stop_ = false;
    Exit status_ = EXIT_OK;
};

Exit EventLoop::run()
{
    setNonBlocking(ctlFd_);
    while (!stop_ && !sim_.quitRequested()) {
        double now = clock_.now();
        sim_.tick(now);
        pending_ += sim_.takeDue(now);
        waitForEvents(now);
        now = clock_.now();
        if (fds_[SIGNALS].revents & POLLIN)
            readSignal(now);
        if (fds_[LINE].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))
            readLine(now);
        if (!pending_.empty() && (fds_[LINE].revents & POLLOUT)) {
            const ssize_t w = write(line_.fd, pending_.data(), pending_.size());
            if (w > 0)
                pending_.erase(0, static_cast<size_t>(w));
        }
        if (ctlFd_ >= 0 && (fds_[CONTROL].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)))
            readControl(now);
        serveTap(now);
    }
    return status_;
}

// The tap hands on what crossed the wire by now.  What its listener writes
// is read and dropped: a listen-only adapter has no transmitter.  A listener
// that takes nothing loses what does not fit, not the line its pace.
void EventLoop::serveTap(double now)
{
    if (tap_.fd < 0)
        return;
    if (fds_[TAP].revents & POLLIN) {
        char buf[256];
        for (ssize_t n; (n = read(tap_.fd, buf, sizeof buf)) > 0;)
            sim_.tapWritten(static_cast<size_t>(n), now);
    }
    tapPending_ += sim_.takeTap(now);
    while (!tapPending_.empty()) {
        const ssize_t w = write(tap_.fd, tapPending_.data(), tapPending_.size());
        if (w <= 0)
            break;
        tapPending_.erase(0, static_cast<size_t>(w));
    }
    constexpr size_t TAP_HELD = 1 << 16;
    if (tapPending_.size() > TAP_HELD)
        tapPending_.erase(0, tapPending_.size() - TAP_HELD);
}

// Until something arrives, the line can take the pending reply bytes, or the
// next reply byte or watchdog is due.
void EventLoop::waitForEvents(double now)
{
    double wake = std::numeric_limits<double>::infinity();
    if (sim_.hasOutput())
        wake = sim_.nextDue();
    if (auto d = sim_.nextDeadline())
        wake = std::min(wake, *d);
    if (auto d = sim_.nextTapDue())
        wake = std::min(wake, *d);

    fds_[LINE] = {line_.fd, static_cast<short>(POLLIN | (pending_.empty() ? 0 : POLLOUT)), 0};
    fds_[CONTROL] = {ctlFd_, POLLIN, 0};
    fds_[SIGNALS] = {sigFd_, POLLIN, 0};
    fds_[TAP] = {tap_.fd, POLLIN, 0};
    timespec ts{}, *tsp = nullptr;
    if (!tapPending_.empty())
        wake = std::min(wake, now + 5); // the tap's listener drains; look again soon
    if (pending_.empty() && std::isfinite(wake)) {
        const double ms = std::max(0.0, wake - now);
        ts.tv_sec = static_cast<time_t>(ms / 1000);
        ts.tv_nsec = static_cast<long>(std::fmod(ms, 1000.0) * 1e6);
        tsp = &ts;
    } else if (!pending_.empty()) {
        ts.tv_nsec = 50 * 1000 * 1000; // a full buffer drains; look again soon
        tsp = &ts;
    }
    if (ppoll(fds_, 4, tsp, nullptr) < 0 && errno != EINTR)
        die(std::string("ppoll: ") + std::strerror(errno));
}

void EventLoop::readSignal(double now)
{
    signalfd_siginfo si;
    if (read(sigFd_, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
        log_.event(now, std::string("stop: ") + strsignal(static_cast<int>(si.ssi_signo)));
        stop_ = true;
    }
}

void EventLoop::readLine(double now)
{
    char buf[512];
    const ssize_t r = read(line_.fd, buf, sizeof buf);
    if (r > 0) {
        const long b = deviceBaud(line_.settingsFd());
        if (b != settingsBaud_) {
            settingsBaud_ = b;
            if (b > 0)
                sim_.hostBaud(static_cast<int>(b), now);
        }
        sim_.receive(std::string_view(buf, static_cast<size_t>(r)), now);
    } else if ((fds_[LINE].revents & (POLLHUP | POLLERR | POLLNVAL)) &&
               (r == 0 || (errno != EAGAIN && errno != EINTR))) {
        // A device that went away (the pty's own slave stays open, so this
        // is a --tty line): nothing more to answer on.
        log_.event(now, "stop: the line " + line_.device + " is gone");
        status_ = EXIT_LINE_GONE;
        stop_ = true;
    }
}

// One reply line on stdout for every command line.
void EventLoop::readControl(double now)
{
    char buf[1024];
    const ssize_t r = read(ctlFd_, buf, sizeof buf);
    if (r > 0) {
        ctlBuf_.append(buf, static_cast<size_t>(r));
        for (size_t nl; (nl = ctlBuf_.find('\n')) != std::string::npos;) {
            const std::string line = ctlBuf_.substr(0, nl);
            ctlBuf_.erase(0, nl + 1);
            if (line.find_first_not_of(" \t\r") == std::string::npos)
                continue;
            writeAll(STDOUT_FILENO, sim_.control(line, now) + "\n");
            if (sim_.quitRequested())
                break;
        }
    } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
        ctlFd_ = -1; // end of the control channel; the line goes on
    }
}

void EventLoop::flush()
{
    if (!pending_.empty()) {
        const ssize_t w = write(line_.fd, pending_.data(), pending_.size());
        (void)w;
    }
}

void logStart(std::FILE *logf, const std::string &device, vsim::Simulator &sim, unsigned long long seed)
{
    char buf[256];
    std::snprintf(buf, sizeof buf, "start: %s, %d baud, turnaround %.3f ms, %zu modules, seed %llu", device.c_str(),
                  sim.baud(), sim.turnaround(), sim.plant().modules.size(), seed);
    std::string line = buf;
    if (sim.adapterLatency() > 0) {
        std::snprintf(buf, sizeof buf, ", adapter %.3f ms + 0 to %.3f ms", sim.adapterLatency(), sim.adapterJitter());
        line += buf;
    }
    vsim::Logger(logf).event(0, line);
}

void logExit(std::FILE *logf, const vsim::Stats &st, double now)
{
    char buf[256];
    std::snprintf(buf, sizeof buf, "exit: commands=%llu replies=%llu bursts=%llu",
                  static_cast<unsigned long long>(st.commands), static_cast<unsigned long long>(st.replies),
                  static_cast<unsigned long long>(st.bursts));
    vsim::Logger(logf).event(now, buf);
}

int runSimulator(int argc, char **argv)
{
    Args args;
    if (const std::optional<Exit> end = parseArgs(argc, argv, args))
        return *end;
    std::signal(SIGPIPE, SIG_IGN);

    vsim::Plant plant = loadPlant(args.plant);
    std::FILE *logf = openLog(args.log);
    const long baud = args.baud > 0 ? static_cast<long>(args.baud) : plant.line.baud;
    const Line line = args.tty.empty() ? openPseudoTerminal(baud) : openTty(args.tty, baud);
    setNonBlocking(line.fd);
    const int sigFd = stopSignals();
    if (!args.link.empty())
        makeLink(args.link, line.device);
    Line tap;
    if (!args.tap.empty()) {
        tap = openListenerTerminal(baud);
        setNonBlocking(tap.fd);
        makeLink(args.tap, tap.device);
    }

    const Clock clock;
    vsim::Simulator sim(std::move(plant), args.seed, vsim::Logger(logf));
    if (args.baud > 0)
        sim.setBaud(static_cast<int>(args.baud));
    if (args.turnaround >= 0)
        sim.setTurnaround(args.turnaround);
    if (args.adapterLatency >= 0)
        sim.setAdapterLatency(args.adapterLatency, 0);
    if (args.adapterJitter >= 0)
        sim.setAdapterJitter(args.adapterJitter);
    sim.setTap(tap.fd >= 0);
    EventLoop loop(sim, line, tap, sigFd, logf, clock);
    logStart(logf, line.device, sim, args.seed);
    std::printf("READY %s\n", line.device.c_str());
    std::fflush(stdout);

    const Exit status = loop.run();
    loop.flush();
    logExit(logf, sim.stats(), clock.now());
    if (!args.link.empty())
        comm::removeLink(args.link, line.device);
    if (!args.tap.empty())
        comm::removeLink(args.tap, tap.device);
    const Line *const lines[] = {&line, &tap};
    for (const Line *l : lines) {
        if (l->slaveFd >= 0)
            close(l->slaveFd);
        if (l->fd >= 0)
            close(l->fd);
    }
    if (logf != stderr)
        std::fclose(logf);
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    // Anything not foreseen ends the program with a message, never with an
    // abort.
    try {
        return runSimulator(argc, argv);
    } catch (const std::exception &e) {
        die(e.what());
    }
}
