// The plant file's writers: the text of a line as it is configured (the
// survey's bench twin), and of a running line as it is now, with its values
// (the simulator's `save`).  Both read back with parsePlant.
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "plant.h"
#include "wire_format.h"

namespace vsim {

namespace {

// A TOML string of printable ASCII; "" when the text has anything else or
// is longer than `max` (a name read off the wire may be anything).
std::string tomlString(const std::string &text, size_t max)
{
    if (text.empty() || text.size() > max)
        return "";
    std::string s = "\"";
    for (char c : text) {
        if (c < 0x20 || c > 0x7E)
            return "";
        if (c == '"' || c == '\\')
            s += '\\';
        s += c;
    }
    return s + "\"";
}

// A number as TOML has it, with the digits that read back as the same.
std::string tomlNumber(double v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.15g", v);
    if (std::strtod(buf, nullptr) != v)
        std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

// The [line] table's speed, duplicates and adapter.
void writeLine(std::ostream &os, const LineSettings &l)
{
    os << "\n[line]\nbaud = " << l.baud << "\n";
    if (l.duplicateAddresses)
        os << "duplicate_addresses = true\n";
    if (l.adapterLatencyMs > 0)
        os << "adapter_latency_ms = " << tomlNumber(l.adapterLatencyMs) << "\n";
    if (l.adapterJitterMs > 0)
        os << "adapter_jitter_ms = " << tomlNumber(l.adapterJitterMs) << "\n";
}

// A module's address, model and configuration: speed and checksum (a change
// waiting for the next power-up taken as made: the file is read at one),
// data format, name, firmware and type code.
void writeConfiguration(std::ostream &os, const Module &m)
{
    const int number = m.info().number;
    os << "\n[[module]]\naddress = " << m.address << "\nmodel = " << number << "\n";
    if (const int baud = m.pendingBaud >= 0 ? m.pendingBaud : m.baud)
        os << "baud = " << baud << "\n";
    if (m.pendingChecksum >= 0 ? m.pendingChecksum == 1 : m.checksum)
        os << "checksum = true\n";
    if (m.hex)
        os << "format = \"hex\"\n";
    if (m.name != std::to_string(number)) {
        const std::string name = tomlString(m.name, 6);
        os << (name.empty() ? "# its name could not be written\n" : "module_name = " + name + "\n");
    }
    if (const std::string fw = tomlString(m.firmware, 16); !fw.empty())
        os << "firmware = " << fw << "\n";
    if (m.typeCode != defaultTypeCode(m.model))
        os << "type = 0x" << wire::hex2(static_cast<uint32_t>(m.typeCode)) << "\n";
}

// Signal::Mode's names in the plant file, in its order.
const char *const RAMP_MODES[] = {"wrap", "bounce", "clamp"};

// An input as the plant file has it, at `now`: a ramp from where it is,
// before its bounds fold it (so that a bouncing ramp goes on the same way).
std::string signalText(const Signal &s, Millis now)
{
    if (s.isOpen())
        return "\"open\"";
    if (s.kind == Signal::Kind::Constant)
        return tomlNumber(s.value);
    std::string t =
        "{start = " + tomlNumber(s.value + s.rate * (now - s.origin) / 1000.0) + ", rate = " + tomlNumber(s.rate);
    if (s.bounded) {
        t += ", min = " + tomlNumber(s.min) + ", max = " + tomlNumber(s.max) + ", mode = \"" +
             RAMP_MODES[static_cast<int>(s.mode)] + "\"";
    }
    return t + "}";
}

template <typename T, typename Text> void writeArray(std::ostream &os, const char *key, const T &items, Text text)
{
    if (items.empty())
        return;
    os << key << " = [";
    for (size_t i = 0; i < items.size(); ++i)
        os << (i ? ", " : "") << text(items[i]);
    os << "]\n";
}

// What a module holds now: its turnaround, inputs, outputs, counters, status
// and host watchdog, and the INIT wire.
void writeState(std::ostream &os, const Module &m, Millis now)
{
    const ModelInfo &info = m.info();
    if (m.turnaroundMs >= 0)
        os << "turnaround_ms = " << tomlNumber(m.turnaroundMs) << "\n";
    if (info.ain > 0 && m.fullScale != 10.0)
        os << "full_scale = " << tomlNumber(m.fullScale) << "\n";
    writeArray(os, "ain", m.ain, [now](const Signal &s) { return signalText(s, now); });
    writeArray(os, "aout", m.aout, tomlNumber);
    writeArray(os, "safe_aout", m.safeAout, tomlNumber);
    if (info.din > 0)
        os << "din = " << m.din << "\n";
    writeArray(os, "counters", m.counters, [now](const Signal &s) { return signalText(s, now); });
    if (info.dout > 0)
        os << "dout = " << m.dout << "\nsafe_dout = " << m.safeDout << "\n";
    // A power-up clears an expired watchdog's bit.
    const unsigned status = m.wdExpired ? static_cast<unsigned>(m.status & ~STATUS_WATCHDOG) : m.status;
    if (status)
        os << "status = 0x" << wire::hex2(status) << "\n";
    if (m.wdEnabled || m.wdValue)
        os << "watchdog = {enabled = " << (m.wdEnabled ? "true" : "false") << ", value = " << m.wdValue << "}\n";
    if (m.initWire)
        os << "init = true\n";
}

void writeNotes(std::ostream &os, const std::vector<std::string> &notes)
{
    for (const std::string &n : notes)
        os << "# " << n << "\n";
}

} // namespace

std::string plantText(const Plant &p, const std::vector<std::string> &notes)
{
    std::ostringstream os;
    writeNotes(os, notes);
    writeLine(os, p.line);
    for (const Module &m : p.modules)
        writeConfiguration(os, m);
    return os.str();
}

std::string plantState(const Plant &p, Millis now, const std::vector<std::string> &notes)
{
    std::ostringstream os;
    writeNotes(os, notes);
    writeLine(os, p.line);
    os << "turnaround_ms = " << tomlNumber(p.line.turnaroundMs) << "\n";
    for (const Module &m : p.modules) {
        writeConfiguration(os, m);
        writeState(os, m, now);
    }
    return os.str();
}

} // namespace vsim
