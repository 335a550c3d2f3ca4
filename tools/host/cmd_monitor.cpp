// monitor: a passive listener on the line (or a capture of it), one line
// per exchange, a CSV log and a summary.  Listening never writes to the
// port: it is opened read-only.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>

#include "capture.h"
#include "commands.h"
#include "monitor_decode.h"
#include "monitor_plant.h"
#include "platform.h"
#include "wire_format.h"

namespace vhost {

namespace {

// The exchanges as they are settled: printed, logged, counted and kept for
// the bench.
class MonitorOutput {
public:
    explicit MonitorOutput(const MonitorArgs &a) : a_(a) {}
    bool open();
    // The bench's times are the host's (a capture of its serial library).
    void hostSide(bool yes) { hostSide_ = yes; }
    void add(const std::vector<monitor::Exchange> &xs);
    void summary() const;
    // --write-plant: false after saying why it could not be written.
    bool writePlant() const;

private:
    const MonitorArgs &a_;
    bool hostSide_ = false;
    std::unique_ptr<monitor::Bench> bench_;
    std::FILE *log_ = nullptr;
    long exchanges_ = 0;
    std::map<int, long> perAddress_;
    long faults_[static_cast<int>(monitor::Fault::COUNT)] = {};
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
        bench_ = std::make_unique<monitor::Bench>(a_.settings, hostSide_);
    for (const monitor::Exchange &x : xs) {
        if (bench_)
            bench_->add(x);
        std::printf("%s\n", monitor::exchangeLine(x).c_str());
        if (log_) {
            std::fprintf(log_, "%s\n", monitor::csvRow(x).c_str());
            std::fflush(log_);
        }
        ++exchanges_;
        ++perAddress_[x.broadcast ? 256 : x.address];
        for (monitor::Fault f : x.faults)
            ++faults_[static_cast<int>(f)];
    }
    std::fflush(stdout);
}

void MonitorOutput::summary() const
{
    std::printf("summary: %ld exchanges\n", exchanges_);
    for (const auto &[address, n] : perAddress_)
        std::printf("  %s: %ld\n",
                    address == 256 ? "**"
                    : address < 0  ? "--"
                                   : (wire::hex2(static_cast<uint32_t>(address)) + "h").c_str(),
                    n);
    std::string faults;
    for (int f = 0; f < static_cast<int>(monitor::Fault::COUNT); ++f)
        if (faults_[f])
            faults += (faults.empty() ? "" : ", ") + std::string(monitor::faultName(static_cast<monitor::Fault>(f))) +
                      " x " + std::to_string(faults_[f]);
    std::printf("faults: %s\n", faults.empty() ? "none" : faults.c_str());
    std::fflush(stdout);
}

bool MonitorOutput::writePlant() const
{
    if (a_.writePlant.empty())
        return true;
    int modules = 0;
    std::vector<std::string> left;
    const std::string text =
        bench_ ? bench_->plantFile(modules, left) : monitor::Bench(a_.settings, hostSide_).plantFile(modules, left);
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

// The device of "COMn" (as the serial library maps it), or the path given.
std::string listenDevice(const std::string &port)
{
    if (port.size() == 4 && (port.compare(0, 3, "COM") == 0 || port.compare(0, 3, "com") == 0) && port[3] >= '1' &&
        port[3] <= '4') {
        std::string device, source;
        comPortDevice(port[3] - '0', device, source);
        return device;
    }
    return port;
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
    out.hostSide(std::any_of(cap.chunks.begin(), cap.chunks.end(),
                             [](const capture::Chunk &c) { return c.dir != capture::Dir::Line; }));
    monitor::Decoder d(a.settings);
    for (const capture::Chunk &c : cap.chunks) {
        d.feed(c);
        out.add(d.take());
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

Exit listen(const MonitorArgs &a, MonitorOutput &out)
{
    const std::string device = listenDevice(a.port);
    std::string error;
    capture::Writer heard;
    if (!a.capturePath.empty() && !heard.open(a.capturePath, error)) {
        std::fprintf(stderr, "veldran-host: %s\n", error.c_str());
        return EXIT_USAGE;
    }
    const int fd = openListenPort(device, a.settings.baud, error);
    if (fd < 0) {
        std::fprintf(stderr, "veldran-host: %s\n", error.c_str());
        return EXIT_LINE;
    }
    std::fprintf(stderr, "monitor: listening on %s at %d baud, checksum %s; Ctrl-C ends it\n", device.c_str(),
                 a.settings.baud, a.settings.checksum ? "on" : "off");
    const auto start = std::chrono::steady_clock::now();
    const auto nowUs = [&start] {
        return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
    };
    monitor::Decoder d(a.settings);
    // Every chunk read, decoded and (--capture) written as it came.
    const auto feed = [&](const char *bytes, int n) {
        const capture::Chunk c{nowUs(), capture::Dir::Line, std::string(bytes, static_cast<size_t>(n))};
        if (heard.isOpen())
            heard.add(c);
        d.feed(c);
    };
    bool gone = false;
    char buf[512];
    while (!stopRequested && !gone) {
        const int n = readListenPort(fd, buf, sizeof buf, 50);
        if (n > 0)
            feed(buf, n);
        else
            d.idle(nowUs());
        gone = n < 0;
        out.add(d.take());
    }
    // What the device still holds when the monitor is stopped is heard too.
    for (int n; !gone && (n = readListenPort(fd, buf, sizeof buf, 0)) > 0;)
        feed(buf, n);
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

} // namespace

CLI::App *addMonitorCommand(CLI::App &app, MonitorArgs &a)
{
    CLI::App *mon = app.add_subcommand("monitor", "listen to the line without writing to it: one line per exchange");
    mon->add_option("port", a.port, "the device or COM1 to COM4 to listen on (read only)");
    mon->add_option("--replay", a.replay, "decode a capture (run --capture) instead, as fast as it reads");
    mon->add_option("--baud", a.settings.baud, "the line's speed in bit/s")
        ->check(CLI::IsMember({1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200}))
        ->capture_default_str();
    mon->add_option("--checksum", a.checksum, "whether commands and replies carry checksums")
        ->check(CLI::IsMember({"off", "on"}))
        ->capture_default_str();
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
    MonitorOutput out(a);
    if (!out.open())
        return EXIT_USAGE;
    stopOnSignals();
    return a.replay.empty() ? listen(a, out) : replay(a, out);
}

} // namespace vhost
