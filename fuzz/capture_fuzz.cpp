// Fuzzes the capture reader and the line monitor's decoder behind it.
//
// Input: the text of a capture file.
//
// Checked: the reader gives bursts with bytes and times that never go back,
// each of which its writer's line gives back as it was; decoded with
// checksums off and on, every exchange's times are in order and within the
// capture's, its printed line and CSV row are one line each; and the bench
// the exchanges make (monitor --write-plant) reads back with the
// simulator's own plant reader.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "capture.h"
#include "monitor_decode.h"
#include "monitor_plant.h"
#include "plant.h"
#include "platform.h"

namespace {

[[noreturn]] void broken(const std::string &what)
{
    fprintf(stderr, "\n*** capture: %s\n", what.c_str());
    abort();
}

void checkExchange(const vhost::monitor::Exchange &x, int64_t first, int64_t last)
{
    if (x.startUs < first || x.startUs > last)
        broken("an exchange at " + std::to_string(x.startUs) + " us, outside the capture");
    if ((x.commandEndUs >= 0 && x.commandEndUs < x.startUs) ||
        (x.replyStartUs >= 0 && (x.replyEndUs < x.replyStartUs || x.replyEndUs > last)))
        broken("an exchange's times out of order: " + vhost::monitor::exchangeLine(x));
    const std::string shown = vhost::monitor::exchangeLine(x) + vhost::monitor::csvRow(x);
    if (shown.find_first_of("\r\n") != std::string::npos)
        broken("a printed exchange that is more than one line: " + shown);
}

void decodeAndBench(const vhost::capture::Capture &cap, bool checksum, int baud)
{
    vhost::monitor::Settings s;
    s.checksum = checksum;
    s.baud = baud;
    const int64_t first = cap.chunks.empty() ? 0 : cap.chunks.front().us;
    const int64_t last = cap.chunks.empty() ? 0 : cap.chunks.back().us;
    vhost::monitor::Bench bench(s, checksum);
    for (const vhost::monitor::Exchange &x : vhost::monitor::decode(cap.chunks, s)) {
        checkExchange(x, first, last);
        bench.add(x);
    }
    int modules = 0;
    std::vector<std::string> left;
    const std::string text = bench.plantFile(modules, left);
    try {
        const vsim::Plant p = vsim::parsePlant(text, "bench.toml");
        if (static_cast<int>(p.modules.size()) != modules)
            broken("the bench's file has " + std::to_string(p.modules.size()) + " modules, not " +
                   std::to_string(modules));
    } catch (const vsim::PlantError &e) {
        // An empty bench has no module, which the reader refuses.
        if (modules > 0)
            broken(std::string("the simulator refuses the bench: ") + e.what() + "\n" + text);
    }
}

} // namespace

// The harness reads no serial library.
bool vhost::watchSerialLibrary(SerialWatcher) { return false; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::istringstream in(std::string(reinterpret_cast<const char *>(data), size));
    const vhost::capture::Capture cap = vhost::capture::read(in);
    for (size_t i = 0; i < cap.chunks.size(); ++i) {
        const vhost::capture::Chunk &c = cap.chunks[i];
        if (c.bytes.empty() || c.us < 0 || (i > 0 && c.us < cap.chunks[i - 1].us))
            broken("a burst without bytes or going back in time at " + std::to_string(c.us));
        const auto again = vhost::capture::parseChunk(vhost::capture::formatChunk(c));
        if (!again || again->us != c.us || again->dir != c.dir || again->bytes != c.bytes)
            broken("a burst its writer does not give back: " + vhost::capture::formatChunk(c));
    }
    if (cap.badLine && cap.reason.empty())
        broken("a bad line without a reason");
    decodeAndBench(cap, false, 19200);
    decodeAndBench(cap, true, 9600);
    return 0;
}
