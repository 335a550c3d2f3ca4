// The design against the line: the designed modules in the order they are
// brought up, the line as read back, the differences, the as-built record.
#include "commission.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "identify.h"
#include "json.h"
#include "wire_format.h"

namespace vhost {

namespace {

std::string hexAddress(int address) { return wire::hex2(static_cast<unsigned>(address)) + "h"; }

bool analogInputs(vsim::Model m) { return m == vsim::Model::M7017 || m == vsim::Model::M7018; }

std::string jsonString(const std::string &s) { return json::quote(s); }

std::string lineJson(const LineModule &m)
{
    return "{ \"address\": " + std::to_string(m.address) + ", \"model\": " + jsonString(m.model) +
           ", \"name\": " + jsonString(m.name) + ", \"firmware\": " + jsonString(m.firmware) +
           ", \"type\": " + jsonString(m.type) + ", \"baud\": " + std::to_string(m.baud) +
           ", \"checksum\": " + (m.checksum ? "true" : "false") + ", \"format\": " + jsonString(m.format) + " }";
}

std::string differenceJson(const Difference &d)
{
    return "{ \"address\": " + std::to_string(d.address) + ", \"item\": " + jsonString(d.item) +
           ", \"design\": " + jsonString(d.design) + ", \"line\": " + jsonString(d.line) + " }";
}

// "[\n    a,\n    b\n  ]", or "[]".
template <typename T, typename F> std::string jsonArray(const std::vector<T> &items, F each)
{
    if (items.empty())
        return "[]";
    std::string out = "[\n";
    for (size_t i = 0; i < items.size(); ++i)
        out += "    " + each(items[i]) + (i + 1 < items.size() ? ",\n" : "\n");
    return out + "  ]";
}

std::string lineSettings(const LineModule &m)
{
    return std::to_string(m.baud) + " baud, checksum " + (m.checksum ? "on" : "off");
}

} // namespace

std::string DesignedModule::settings() const
{
    return std::to_string(baud) + " baud, checksum " + (checksum ? "on" : "off");
}

std::vector<DesignedModule> designedModules(const vsim::Plant &design, std::string &error)
{
    std::vector<DesignedModule> out, last;
    std::set<int> seen;
    for (const vsim::Module &m : design.modules) {
        if (m.address == INIT_ADDRESS) {
            error = "the design has a module at 00h, where a module in INIT mode answers: give it another address";
            return {};
        }
        if (!seen.insert(m.address).second) {
            error = "the design has more than one module at " + hexAddress(m.address) +
                    ": each module needs an address of its own";
            return {};
        }
        DesignedModule d;
        d.address = m.address;
        d.model = m.model;
        d.name = m.name.empty() ? d.modelText() : m.name;
        d.baud = m.baud ? m.baud : design.line.baud;
        d.checksum = m.checksum;
        d.format = analogInputs(m.model) ? (m.hex ? "hex" : "decimal") : "";
        (m.address == 1 ? last : out).push_back(d);
    }
    out.insert(out.end(), last.begin(), last.end());
    return out;
}

const DesignedModule *designedAt(const std::vector<DesignedModule> &design, int address)
{
    for (const DesignedModule &d : design)
        if (d.address == address)
            return &d;
    return nullptr;
}

LineModule lineModule(const ModuleIdentity &id, const DesignedModule *designed)
{
    LineModule m;
    m.address = id.address;
    m.name = id.name;
    m.firmware = id.firmware;
    m.type = wire::hex2(id.type);
    m.baud = std::max(0, wire::baudOfCode(static_cast<int>(id.baudCode)));
    m.checksum = (id.format & wire::FORMAT_CHECKSUM) != 0;
    auto model = modelOf(id.name, id.type);
    if (!model && designed && designed->name == id.name && id.type == DIGITAL_TYPE && !analogInputs(designed->model))
        model = designed->model;
    if (model)
        m.model = std::to_string(vsim::modelInfo(*model).number);
    // Only the analog input modules have a data format to tell.
    const std::string f = formatText(id.format, id.type, m.model.empty() ? id.name : m.model);
    m.format = f == "-" || (model && !analogInputs(*model)) ? "" : f;
    return m;
}

LineModule garbledModule(int address)
{
    LineModule m;
    m.address = address;
    m.garbled = true;
    return m;
}

std::vector<Difference> differencesOf(const DesignedModule &d, const LineModule *found)
{
    if (!found || found->garbled)
        return {{d.address, "missing", d.label(), found ? "garbled: more than one module" : ""}};
    std::vector<Difference> out;
    auto item = [&](const char *what, const std::string &design, const std::string &line) {
        if (design != line)
            out.push_back({d.address, what, design, line});
    };
    item("model", d.modelText(), found->model.empty() ? "unknown (type " + found->type + ")" : found->model);
    item("name", d.name, found->name);
    item("baud", std::to_string(d.baud), std::to_string(found->baud));
    item("checksum", d.checksum ? "on" : "off", found->checksum ? "on" : "off");
    item("format", d.format, found->format);
    return out;
}

std::vector<Difference> differences(const std::vector<DesignedModule> &design, const std::vector<LineModule> &line)
{
    std::map<int, const LineModule *> at;
    for (const LineModule &m : line)
        at[m.address] = &m;
    std::vector<Difference> out;
    for (const DesignedModule &d : design) {
        auto it = at.find(d.address);
        for (const Difference &x : differencesOf(d, it == at.end() ? nullptr : it->second))
            out.push_back(x);
    }
    for (const LineModule &m : line)
        if (!designedAt(design, m.address))
            out.push_back(
                {m.address, "unexpected", "",
                 m.garbled ? "garbled: more than one module"
                           : (m.model.empty() ? "type " + m.type : m.model) + " '" + m.name + "', " + lineSettings(m)});
    std::stable_sort(out.begin(), out.end(),
                     [](const Difference &a, const Difference &b) { return a.address < b.address; });
    return out;
}

std::string differenceText(const Difference &d)
{
    const std::string aa = hexAddress(d.address);
    if (d.item == "missing")
        return aa + " missing: designed " + d.design + (d.line.empty() ? ", nothing answers there" : ", " + d.line);
    if (d.item == "unexpected")
        return aa + " unexpected: the design has no module there; the line has " + d.line;
    return aa + " " + d.item + ": designed " + d.design + ", the line has " + d.line;
}

std::string asBuiltJson(const AsBuilt &r)
{
    std::vector<LineModule> line = r.line;
    std::sort(line.begin(), line.end(), [](const LineModule &a, const LineModule &b) { return a.address < b.address; });
    line.erase(std::remove_if(line.begin(), line.end(), [](const LineModule &m) { return m.garbled; }), line.end());
    return "{\n  \"kind\": \"veldran-as-built\",\n  \"version\": 1,\n  \"date\": " + jsonString(r.date) +
           ",\n  \"port\": " + jsonString(r.port) + ",\n  \"design\": { \"file\": " + jsonString(r.designFile) +
           ", \"sha256\": " + jsonString(r.designSha256) + " },\n  \"line\": " + jsonArray(line, lineJson) +
           ",\n  \"differences\": " + jsonArray(r.differences, differenceJson) + "\n}\n";
}

std::string defaultRecordPath(const std::string &design)
{
    const std::string ext = ".toml";
    if (design.size() > ext.size() && design.compare(design.size() - ext.size(), ext.size(), ext) == 0)
        return design.substr(0, design.size() - ext.size()) + ".as-built.json";
    return design + ".as-built.json";
}

} // namespace vhost
