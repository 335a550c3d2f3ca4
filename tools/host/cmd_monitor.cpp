// monitor: a passive listener on the line (or a capture of it), one line
// per exchange, a CSV log and a summary.  Listening never writes to the
// port: it is opened read-only.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <thread>

#include "capture.h"
#include "commands.h"
#include "monitor_auto.h"
#include "monitor_decode.h"
#include "monitor_plant.h"
#include "monitor_stats.h"
#include "monitor_view.h"
#include "platform.h"
#include "wire_format.h"

namespace vhost {

namespace {

// The exchanges as they are settled: printed (or shown on the live
// screen), logged, counted and kept for the bench.
class MonitorOutput {
public:
    explicit MonitorOutput(const MonitorArgs &a) : a_(a) {}
    bool open();
    // The settings the line is decoded with, given or found; and whether the
    // bench's times are the host's (a capture of its serial library).
    void decodedWith(const monitor::Settings &s, bool hostSide)
    {
        settings_ = s;
        hostSide_ = hostSide;
    }
    void add(const std::vector<monitor::Exchange> &xs);
    // The live screen, when --live has a terminal to draw it on.
    void live();
    // The screen redrawn as at `nowUs` (unless it was a moment ago).
    void tick(int64_t nowUs, bool force = false);
    void summary();
    // --write-plant: false after saying why it could not be written.
    bool writePlant() const;

private:
    const MonitorArgs &a_;
    monitor::Settings settings_;
    bool hostSide_ = false;
    std::unique_ptr<monitor::Bench> bench_;
    std::FILE *log_ = nullptr;
    monitor::MonitorStats stats_;
    std::unique_ptr<monitor::MonitorView> view_;
    int64_t lastUs_ = 0;
};

bool MonitorOutput::open()
{
    if (a_.logPath.empty())
        return true;
    log_ = std::fopen(a_.logPath.c_str(), "w");
    if (!log_ || std::fprintf(log_, "%s\n", monitor::csvHeader().c_str()) < 0 || std::fflush(log_) != 0) {
        std::fprintf(stderr, "veldran-host: cannot create %s\n", a_.logPath.c_str());
        return false;
    }
    return true;
}

void MonitorOutput::add(const std::vector<monitor::Exchange> &xs)
{
    if (!a_.writePlant.empty() && !bench_)
        bench_ = std::make_unique<monitor::Bench>(settings_, hostSide_);
    for (const monitor::Exchange &x : xs) {
        if (bench_)
            bench_->add(x);
        if (!view_)
            std::printf("%s\n", monitor::exchangeLine(x).c_str());
        if (log_) {
            std::fprintf(log_, "%s\n", monitor::csvRow(x).c_str());
            std::fflush(log_);
        }
        stats_.add(x);
        lastUs_ = std::max(lastUs_, x.replyEndUs >= 0 ? x.replyEndUs : x.startUs);
    }
    if (!view_)
        std::fflush(stdout);
}

void MonitorOutput::live()
{
    int columns = 80, rows = 0;
    if (!a_.live)
        return;
    if (!stdoutTerminal(&columns, &rows)) {
        std::fprintf(stderr, "veldran-host: --live: standard output is no terminal the screen can be drawn on "
                             "(under wine it never is); the plain output follows\n");
        return;
    }
    view_ = std::make_unique<monitor::MonitorView>(stdout, columns, rows);
    watchTerminalSize();
    view_->begin();
}

void MonitorOutput::tick(int64_t nowUs, bool force)
{
    if (!view_)
        return;
    int columns = 0, rows = 0;
    if (terminalResized(&columns, &rows))
        view_->resize(columns, rows);
    view_->draw(stats_, std::max(nowUs, lastUs_), force);
}

void MonitorOutput::summary()
{
    if (view_) {
        // The last screen stays, the summary below it.
        tick(lastUs_, true);
        view_->end();
        view_.reset();
    }
    for (const std::string &l : stats_.summary())
        std::printf("%s\n", l.c_str());
    std::fflush(stdout);
}

bool MonitorOutput::writePlant() const
{
    if (a_.writePlant.empty())
        return true;
    int modules = 0;
    std::vector<std::string> left;
    const std::string text =
        bench_ ? bench_->plantFile(modules, left) : monitor::Bench(settings_, hostSide_).plantFile(modules, left);
    for (const std::string &l : left)
        std::printf("monitor: %s\n", l.c_str());
    std::FILE *f = std::fopen(a_.writePlant.c_str(), "wb");
    const bool written = f && std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (!f || std::fclose(f) != 0 || !written) {
        std::fprintf(stderr, "veldran-host: monitor: cannot write %s\n", a_.writePlant.c_str());
        return false;
    }
    std::printf("monitor: the bench of %d module%s written to %s (veldran-sim --plant %s)\n", modules,
                modules == 1 ? "" : "s", a_.writePlant.c_str(), a_.writePlant.c_str());
    std::fflush(stdout);
    return true;
}

// The port the serial library opens for "COMn", or the path given.
std::string listenDevice(const std::string &port)
{
    if (port.size() == 4 && (port.compare(0, 3, "COM") == 0 || port.compare(0, 3, "com") == 0) && port[3] >= '1' &&
        port[3] <= '4')
        return listenPortName(port[3] - '0');
    return port;
}

void sayChecksum(bool on)
{
    std::fprintf(stderr, "monitor: the commands %s: checksum %s\n", on ? "carry checksums" : "carry no checksums",
                 on ? "on" : "off");
}

// A capture's settings where they are to be found: its commands tell
// whether they carry checksums, its characters' times the line's speed
// (which only sets the pauses that tell a second master).
monitor::Settings replaySettings(const MonitorArgs &a, const capture::Capture &cap)
{
    monitor::Settings s = a.settings;
    const bool baud = a.baud == "auto", checksum = a.checksum == "auto";
    if (!baud && !checksum)
        return s;
    monitor::Trial t(s.baud, checksum ? std::nullopt : std::optional<bool>(s.checksum));
    for (const capture::Chunk &c : cap.chunks)
        t.feed(c);
    if (baud && t.rate().nearestSpeed()) {
        s.baud = t.rate().nearestSpeed();
        std::fprintf(stderr, "monitor: the line runs at %d baud\n", s.baud);
    } else if (baud) {
        std::fprintf(stderr, "monitor: the capture's times do not show the line's speed; %d baud taken\n", s.baud);
    }
    if (checksum && t.checksum()) {
        s.checksum = *t.checksum();
        sayChecksum(s.checksum);
    } else if (checksum)
        std::fprintf(stderr, "monitor: too few commands heard to tell whether they carry checksums; checksum off\n");
    return s;
}

Exit replay(const MonitorArgs &a, MonitorOutput &out)
{
    std::ifstream in(a.replay, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "veldran-host: cannot read %s\n", a.replay.c_str());
        return EXIT_USAGE;
    }
    const capture::Capture cap = capture::read(in);
    if (cap.badLine) {
        std::fprintf(stderr, "veldran-host: %s:%ld: %s\n", a.replay.c_str(), cap.badLine, cap.reason.c_str());
        return EXIT_USAGE;
    }
    const monitor::Settings settings = replaySettings(a, cap);
    out.decodedWith(settings, std::any_of(cap.chunks.begin(), cap.chunks.end(),
                                          [](const capture::Chunk &c) { return c.dir != capture::Dir::Line; }));
    monitor::Decoder d(settings);
    out.live();
    for (const capture::Chunk &c : cap.chunks) {
        d.feed(c);
        out.add(d.take());
        out.tick(c.us);
        if (stopRequested)
            break;
    }
    d.finish();
    out.add(d.take());
    if (cap.torn)
        std::fprintf(stderr, "veldran-host: %s: the last line was cut short and is left out\n", a.replay.c_str());
    out.summary();
    return out.writePlant() ? EXIT_OK : EXIT_USAGE;
}

// Eight character times at `baud`, at most a millisecond.
int64_t gatherUs(int baud) { return std::min<int64_t>(1000, 80000000LL / std::max(1, baud)); }

// The listening's clock: microseconds since it began.
int64_t clockUs()
{
    static const auto start = std::chrono::steady_clock::now();
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
}

// The port open at the line's settings, given or found, and what was heard
// while they were found; `exit` set when there is none.
monitor::Found openLine(const MonitorArgs &a, const std::string &device, Exit &exit)
{
    monitor::Found f;
    f.settings = a.settings;
    if (a.baud == "auto" || a.checksum == "auto") {
        f = monitor::findSettings(device, a.baud == "auto" ? 0 : a.settings.baud,
                                  a.checksum == "auto" ? std::nullopt : std::optional<bool>(a.settings.checksum),
                                  clockUs);
    } else {
        f.fd = openListenPort(device, a.settings.baud, f.why);
        f.what = f.fd < 0 ? monitor::Found::NOT_OPENED : monitor::Found::FOUND;
    }
    if (f.what != monitor::Found::STOPPED && !f.why.empty())
        std::fprintf(stderr, "veldran-host: %s\n", f.why.c_str());
    exit = f.what == monitor::Found::NOT_OPENED ? EXIT_LINE
           : f.what == monitor::Found::GONE     ? EXIT_PORT_GONE
           : f.what == monitor::Found::NO_SPEED ? EXIT_NO_ANSWER
                                                : EXIT_OK;
    return f;
}

Exit listen(const MonitorArgs &a, MonitorOutput &out)
{
    const std::string device = listenDevice(a.port);
    std::string error;
    capture::Writer heard;
    if (!a.capturePath.empty() && !heard.open(a.capturePath, error)) {
        std::fprintf(stderr, "veldran-host: %s\n", error.c_str());
        return EXIT_USAGE;
    }
    Exit exit = EXIT_OK;
    monitor::Found f = openLine(a, device, exit);
    if (f.fd < 0) {
        if (f.what == monitor::Found::STOPPED)
            out.summary();
        return exit;
    }
    const int fd = f.fd;
    std::fprintf(stderr, "monitor: listening on %s at %d baud, checksum %s; Ctrl-C ends it\n", device.c_str(),
                 f.settings.baud, f.settings.checksum ? "on" : "off");
    monitor::Decoder d(f.settings);
    out.decodedWith(f.settings, false);
    out.live();
    // Every chunk read, decoded and (--capture) written as it came; what was
    // heard while the settings were found first.
    const auto feed = [&](const capture::Chunk &c) {
        if (heard.isOpen())
            heard.add(c);
        d.feed(c);
    };
    for (const capture::Chunk &c : f.heard)
        feed(c);
    out.add(d.take());
    bool gone = false;
    char buf[512];
    while (!stopRequested && !gone) {
        const int n = readListenPort(fd, buf, sizeof buf, 50);
        if (n > 0)
            feed({clockUs(), capture::Dir::Line, std::string(buf, static_cast<size_t>(n))});
        else
            d.idle(clockUs());
        gone = n < 0;
        out.add(d.take());
        out.tick(clockUs());
        // A listener that reads each character as it comes wakes thousands
        // of times a second on a busy fast line: after a read it lets a few
        // characters gather (the times stay good to that).
        if (n > 0 && n < static_cast<int>(sizeof buf) / 2)
            std::this_thread::sleep_for(std::chrono::microseconds(gatherUs(f.settings.baud)));
    }
    // What the device still holds when the monitor is stopped is heard too.
    for (int n; !gone && (n = readListenPort(fd, buf, sizeof buf, 0)) > 0;)
        feed({clockUs(), capture::Dir::Line, std::string(buf, static_cast<size_t>(n))});
    closeListenPort(fd);
    d.finish();
    out.add(d.take());
    if (gone)
        std::fprintf(stderr, "veldran-host: %s went away\n", device.c_str());
    if (heard.failed())
        std::fprintf(stderr, "veldran-host: cannot write %s: the capture ends early\n", a.capturePath.c_str());
    out.summary();
    if (!out.writePlant())
        return EXIT_USAGE;
    return gone ? EXIT_PORT_GONE : EXIT_OK;
}

// The line speeds, and "auto".
std::vector<std::string> speedChoices()
{
    std::vector<std::string> s = {"auto"};
    for (int b : wire::lineSpeeds())
        s.push_back(std::to_string(b));
    return s;
}

} // namespace

CLI::App *addMonitorCommand(CLI::App &app, MonitorArgs &a)
{
    CLI::App *mon = app.add_subcommand("monitor", "listen to the line without writing to it: one line per exchange");
    mon->add_option("port", a.port, "the device or COM1 to COM4 to listen on (read only)");
    mon->add_option("--replay", a.replay, "decode a capture (run --capture) instead, as fast as it reads");
    mon->add_option("--baud", a.baud, "the line's speed in bit/s, or auto: each speed in turn until one decodes")
        ->check(CLI::IsMember(speedChoices()))
        ->capture_default_str();
    mon->add_option("--checksum", a.checksum,
                    "whether commands and replies carry checksums (auto: as the commands show)")
        ->check(CLI::IsMember({"off", "on", "auto"}))
        ->capture_default_str();
    mon->add_flag("--live", a.live, "one screen per module redrawn in place (plain output when stdout is no terminal)");
    mon->add_option("--log", a.logPath, "write one CSV row per exchange to this file");
    mon->add_option("--capture", a.capturePath,
                    "write every byte heard, with its time, to this file (monitor --replay reads it)");
    mon->add_option("--write-plant", a.writePlant,
                    "at the end, write a plant file for veldran-sim that answers as the modules heard did");
    return mon;
}

Exit runMonitor(MonitorArgs &a)
{
    if (a.port.empty() == a.replay.empty()) {
        std::fprintf(stderr, "veldran-host: monitor: give a port to listen on or --replay FILE, one of the two\n");
        return EXIT_USAGE;
    }
    if (!a.capturePath.empty() && !a.replay.empty()) {
        std::fprintf(stderr,
                     "veldran-host: monitor: --capture records a port listened to; a replay is a capture already\n");
        return EXIT_USAGE;
    }
    a.settings.checksum = a.checksum == "on";
    if (a.baud != "auto")
        a.settings.baud = std::stoi(a.baud);
    MonitorOutput out(a);
    if (!out.open())
        return EXIT_USAGE;
    stopOnSignals();
    return a.replay.empty() ? listen(a, out) : replay(a, out);
}

} // namespace vhost
