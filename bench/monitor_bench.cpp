// The line monitor's cost: how fast `monitor --replay` decodes a capture, and
// the CPU share of listening to a saturated line at 115200 baud.
//
//     bench_monitor [SECONDS]
//
// The line is made up, saturated: the sample ladder's commands and replies
// back to back, every character 10 bits at 115200 baud (11520 a second),
// without a gap.  The replay reads the capture's text, decodes it and
// formats each exchange's line, as the monitor does before printing it; the
// live figure feeds the same traffic as a listener reads it (8 bytes a read,
// and 1 as the worst case), with the idle calls between, and is the CPU
// time one second of the line costs, as a share of one core.  Reading the
// port is not in it.  One line per figure:
//     replay bytes N seconds S mb_s R exchanges X
//     live chunk C cpu_ms_per_line_s T pct P exchanges X
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "capture.h"
#include "monitor_decode.h"

namespace {

using vhost::capture::Chunk;
using vhost::capture::Dir;

constexpr int BAUD = 115200;
constexpr double CHAR_US = 10e6 / BAUD;

double cpuSeconds()
{
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// One scan of the sample ladder as the wire carries it, commands and
// replies alternating.
const char *const SCAN[] = {
    "#01\r",         ">+01.000+02.500-03.250+00.000+05.123-10.500+09.999+00.250\r",
    "#02\r",         ">20004000-0000000000007FFFE0001000\r",
    "#030+05.000\r", ">\r",
    "@04\r",         ">2A55\r",
    "@050003\r",     ">\r",
    "@06\r",         ">A500\r",
    "@07\r",         ">1234\r",
    "@083\r",        ">\r",
    "@08\r",         ">030E\r",
    "@0903\r",       ">\r",
    "@09\r",         ">030C\r",
    "#040\r",        "!0400000\r",
    "~050\r",        "!0500\r",
    "~**\r",
};

// `seconds` of the saturated line, in reads of `chunk` bytes, each stamped
// when its last character has crossed.
std::vector<Chunk> saturatedLine(double seconds, size_t chunk)
{
    std::string bytes;
    while (bytes.size() < seconds * BAUD / 10)
        for (const char *s : SCAN)
            bytes += s;
    bytes.resize(static_cast<size_t>(seconds * BAUD / 10));
    std::vector<Chunk> out;
    for (size_t at = 0; at < bytes.size(); at += chunk) {
        const std::string part = bytes.substr(at, chunk);
        out.push_back({static_cast<int64_t>((at + part.size()) * CHAR_US), Dir::Line, part});
    }
    return out;
}

// What the monitor does with each chunk: decode, settle, format the lines.
long feed(vhost::monitor::Decoder &d, const Chunk &c, std::string &sink)
{
    d.feed(c);
    long n = 0;
    for (const vhost::monitor::Exchange &x : d.take()) {
        sink = vhost::monitor::exchangeLine(x);
        ++n;
    }
    return n;
}

void replay(double seconds)
{
    std::string text = "# veldran capture 1: microseconds, tx|rx|line, bytes\n";
    for (const Chunk &c : saturatedLine(seconds, 32))
        text += vhost::capture::formatChunk(c) + "\n";
    vhost::monitor::Settings s;
    s.baud = BAUD;
    const double t0 = cpuSeconds();
    std::istringstream in(text);
    const vhost::capture::Capture cap = vhost::capture::read(in);
    vhost::monitor::Decoder d(s);
    std::string sink;
    long exchanges = 0;
    for (const Chunk &c : cap.chunks)
        exchanges += feed(d, c, sink);
    d.finish();
    exchanges += static_cast<long>(d.take().size());
    const double t = cpuSeconds() - t0;
    std::printf("replay bytes %zu seconds %.4f mb_s %.2f exchanges %ld\n", text.size(), t, text.size() / t / 1e6,
                exchanges);
}

void live(double seconds, size_t chunk)
{
    const std::vector<Chunk> line = saturatedLine(seconds, chunk);
    vhost::monitor::Settings s;
    s.baud = BAUD;
    vhost::monitor::Decoder d(s);
    std::string sink;
    long exchanges = 0;
    const double t0 = cpuSeconds();
    for (const Chunk &c : line) {
        exchanges += feed(d, c, sink);
        d.idle(c.us);
    }
    d.finish();
    const double t = cpuSeconds() - t0;
    std::printf("live chunk %zu cpu_ms_per_line_s %.4f pct %.3f exchanges %ld\n", chunk, t / seconds * 1e3,
                t / seconds * 100, exchanges);
}

} // namespace

int main(int argc, char **argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 600;
    replay(seconds);
    live(seconds / 10, 8);
    live(seconds / 10, 1);
    return 0;
}
