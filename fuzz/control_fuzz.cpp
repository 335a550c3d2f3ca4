// Fuzzes the simulator's control channel and its line side together.
//
// Input: lines of text, each either a control command or, when it starts
// with "<", bytes put on the line (the rest of the line, "\r" ending it).
//
// Checked: every control command is answered by exactly one line that
// starts with "OK" or "ERR" and holds no line break; nothing throws; the
// simulator's own clock and queues stay sane (what it sends is due no
// earlier than the moment it was scheduled).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "plant.h"
#include "sim.h"

namespace {

[[noreturn]] void broken(const std::string &what)
{
    fprintf(stderr, "\n*** simulator control: %s\n", what.c_str());
    abort();
}

const char PLANT[] = R"(
[line]
baud = 19200
turnaround_ms = 1
[[module]]
address = 1
model = 7017
ain = [1.0, "open", {start = 0.0, rate = 0.5, min = -5.0, max = 5.0, mode = "bounce"}]
[[module]]
address = 2
model = 7018
format = "hex"
[[module]]
address = 3
model = 7024
[[module]]
address = 4
model = 7041
counters = [{start = 0, rate = 10}]
[[module]]
address = 5
model = 7043
watchdog = { enabled = true, value = 5 }
[[module]]
address = 8
model = 7060
checksum = true
)";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const vsim::Plant plant = vsim::parsePlant(PLANT, "control.toml");
    vsim::Simulator sim(plant, 1);
    const std::string input(reinterpret_cast<const char *>(data), size);
    vsim::Millis now = 0;
    size_t at = 0;
    int lines = 0;
    try {
        while (at < input.size() && lines++ < 64) {
            size_t end = input.find('\n', at);
            if (end == std::string::npos)
                end = input.size();
            std::string line = input.substr(at, end - at);
            at = end + 1;
            now += 7.5;
            if (!line.empty() && line[0] == '<') {
                sim.receive(line.substr(1) + "\r", now);
            } else {
                std::string reply = sim.control(line, now);
                if (reply.compare(0, 2, "OK") != 0 && reply.compare(0, 3, "ERR") != 0)
                    broken("reply \"" + reply + "\" to \"" + line + "\"");
                if (reply.find_first_of("\r\n") != std::string::npos)
                    broken("a reply of more than one line to \"" + line + "\"");
                if (sim.quitRequested())
                    break;
            }
            if (sim.hasOutput() && sim.nextDue() < 0)
                broken("output due before the line started");
            sim.tick(now);
            sim.takeDue(now);
        }
    } catch (const std::exception &e) {
        broken(std::string("threw ") + e.what());
    }
    return 0;
}
