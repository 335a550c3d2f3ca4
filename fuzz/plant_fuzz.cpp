// Fuzzes the simulator's plant-file reader.
//
// Input: the text of a plant file.
//
// Checked: the reader returns a plant or throws its own error, never
// anything else (a crash, another exception, a hang); an error names the
// file and, where the text has one, the line ("plant.toml:12: ..."); a plant
// it accepts has at least one module, addresses 0 to 255 without
// duplicates, and a line speed and turnaround that can pace a line.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "plant.h"

namespace {

[[noreturn]] void broken(const std::string &what)
{
    fprintf(stderr, "\n*** plant reader: %s\n", what.c_str());
    abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    const std::string src = "plant.toml";
    try {
        vsim::Plant p = vsim::parsePlant(text, src);
        if (p.modules.empty())
            broken("accepted a plant without modules");
        std::set<int> seen;
        for (const vsim::Module &m : p.modules) {
            if (m.address < 0 || m.address > 255)
                broken("accepted address " + std::to_string(m.address));
            if (!seen.insert(m.address).second)
                broken("accepted address " + std::to_string(m.address) + " twice");
        }
        if (!(p.line.baud > 0) || !(p.line.turnaroundMs >= 0))
            broken("accepted a line that cannot be paced");
    } catch (const vsim::PlantError &e) {
        std::string msg = e.what();
        if (msg.compare(0, src.size() + 1, src + ":") != 0 || msg.size() < src.size() + 3)
            broken("an error that does not name the file: " + msg);
    } catch (const std::exception &e) {
        broken(std::string("threw ") + e.what());
    }
    return 0;
}
