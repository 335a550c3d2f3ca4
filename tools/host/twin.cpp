// The bench twin of a surveyed line.
#include "twin.h"

#include <algorithm>
#include <cctype>
#include <map>

#include "wire_format.h"

namespace vhost {

namespace {

// The ranges an analog module's type code names: voltage and current
// inputs of the 7017, millivolt, current and thermocouple inputs of the
// 7018, the 7024's outputs.
struct TypeRange {
    unsigned first, last;
    vsim::Model model;
};
constexpr TypeRange TYPE_RANGES[] = {
    {0x00, 0x06, vsim::Model::M7018},
    {0x08, 0x0D, vsim::Model::M7017},
    {0x0E, 0x18, vsim::Model::M7018},
    {0x30, 0x36, vsim::Model::M7024},
};

} // namespace

std::optional<vsim::Model> modelOf(const std::string &name, unsigned type)
{
    if (name.size() >= 4 &&
        std::all_of(name.begin(), name.begin() + 4, [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
        if (auto m = vsim::modelFromNumber(std::stol(name.substr(0, 4))))
            return m;
    for (const TypeRange &r : TYPE_RANGES)
        if (type >= r.first && type <= r.last)
            return r.model;
    return std::nullopt;
}

std::string twinPlant(const std::vector<ModuleIdentity> &modules, std::vector<std::string> &left)
{
    vsim::Plant p;
    std::map<int, int> speeds; // bit/s -> modules
    for (const ModuleIdentity &id : modules) {
        const std::string aa = wire::hex2(static_cast<unsigned>(id.address)) + "h";
        auto model = modelOf(id.name, id.type);
        if (!model) {
            left.push_back("left out: " + aa + ", named \"" + id.name + "\", type code " + wire::hex2(id.type) +
                           ": its model cannot be told; add it as a [[module]] with its model");
            continue;
        }
        vsim::Module m;
        m.address = id.address;
        m.model = *model;
        // As the module answers now: a speed or checksum change it has
        // taken waits for its next power-up.
        m.baud = id.baud;
        m.checksum = id.checksum;
        m.hex = (id.format & wire::FORMAT_FORM) == wire::FORMAT_HEX;
        m.name = id.name.empty() ? std::to_string(vsim::modelInfo(*model).number) : id.name;
        if (!id.firmware.empty())
            m.firmware = id.firmware;
        m.typeCode = static_cast<int>(id.type);
        if (m.baud)
            ++speeds[m.baud];
        p.modules.push_back(m);
    }
    // The line's own speed: the one most modules use.
    int most = 0;
    for (const auto &[baud, n] : speeds)
        if (n > most) {
            most = n;
            p.line.baud = baud;
        }
    std::vector<std::string> notes = {
        "The bench twin of a surveyed line, written by veldran-host survey --write-plant:",
        "addresses, models, speeds, checksums and data formats as the modules told them;",
        "inputs and outputs at rest (add values to try a ladder program against)."};
    notes.insert(notes.end(), left.begin(), left.end());
    return vsim::plantText(p, notes);
}

} // namespace vhost
