// The plant file's reader: it makes a Plant of the TOML, with a message
// naming the file, line and key for everything it refuses.  The writers are
// plant_write.cpp.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include <toml++/toml.h>

#include "plant.h"
#include "plant_read.h"
#include "toml_text.h"
#include "wire_format.h"

namespace vsim {

namespace plantread {

[[noreturn]] void fail(const std::string &src, const toml::node &at, const std::string &what)
{
    std::ostringstream os;
    os << src << ":" << at.source().begin.line << ": " << what;
    throw PlantError(os.str());
}

[[noreturn]] void fail(const std::string &src, const std::string &what) { throw PlantError(src + ": " + what); }

void checkKeys(const std::string &src, const toml::table &t, std::initializer_list<const char *> allowed,
               const std::string &where)
{
    for (auto &&[k, v] : t) {
        bool ok = false;
        for (const char *a : allowed)
            ok = ok || k.str() == a;
        if (!ok)
            fail(src, v, "unknown key '" + std::string(k.str()) + "' in " + where);
    }
}

double number(const std::string &src, const toml::node &n, const std::string &what)
{
    if (!n.is_number())
        fail(src, n, what + " must be a number");
    return *n.value<double>();
}

long long integer(const std::string &src, const toml::node &n, const std::string &what)
{
    if (!n.is_integer())
        fail(src, n, what + " must be an integer");
    return *n.value<long long>();
}

bool boolean(const std::string &src, const toml::node &n, const std::string &what)
{
    if (!n.is_boolean())
        fail(src, n, what + " must be true or false");
    return *n.value<bool>();
}

// A text of 1 to `max` characters.
std::string text(const std::string &src, const toml::node &n, const std::string &what, size_t max)
{
    auto v = n.value<std::string>();
    if (!v || v->empty() || v->size() > max)
        fail(src, n, what + " must be text of 1 to " + std::to_string(max) + " characters");
    return *v;
}

} // namespace plantread

namespace {

using namespace plantread;

// A number from `lo` to `hi` (TOML's nan and inf are none).
double between(const std::string &src, const toml::node &n, const std::string &what, double lo, double hi)
{
    const double v = number(src, n, what);
    if (!std::isfinite(v) || v < lo || v > hi) {
        std::ostringstream os;
        os << what << " must be " << lo << " to " << hi;
        fail(src, n, os.str());
    }
    return v;
}

// A number, "open" (when allowed), or a ramp table.
Signal signal(const std::string &src, const toml::node &n, const std::string &what, bool allowOpen)
{
    if (n.is_number())
        return Signal::constant(*n.value<double>());
    if (n.is_string() && allowOpen && *n.value<std::string>() == "open")
        return Signal::open();
    const toml::table *t = n.as_table();
    if (!t)
        fail(src, n,
             what + (allowOpen ? " must be a number, \"open\" or a ramp table" : " must be a number or a ramp table"));
    checkKeys(src, *t, {"start", "rate", "min", "max", "mode"}, what);
    Signal s;
    s.kind = Signal::Kind::Ramp;
    if (auto v = t->get("start"))
        s.value = number(src, *v, what + ".start");
    if (auto v = t->get("rate"))
        s.rate = number(src, *v, what + ".rate");
    const toml::node *mn = t->get("min");
    const toml::node *mx = t->get("max");
    if ((mn == nullptr) != (mx == nullptr))
        fail(src, n, what + ": give both min and max, or neither");
    if (mn) {
        s.bounded = true;
        s.min = number(src, *mn, what + ".min");
        s.max = number(src, *mx, what + ".max");
        if (!(s.max > s.min))
            fail(src, n, what + ": max must be above min");
    }
    if (auto v = t->get("mode")) {
        auto m = v->value<std::string>();
        if (m == "wrap")
            s.mode = Signal::Mode::Wrap;
        else if (m == "bounce")
            s.mode = Signal::Mode::Bounce;
        else if (m == "clamp")
            s.mode = Signal::Mode::Clamp;
        else
            fail(src, *v, what + ".mode must be \"wrap\", \"bounce\" or \"clamp\"");
    }
    return s;
}

std::vector<Signal> signals(const std::string &src, const toml::node &n, const std::string &what, size_t count,
                            bool allowOpen)
{
    const toml::array *a = n.as_array();
    if (!a)
        fail(src, n, what + " must be an array");
    if (a->size() > count)
        fail(src, n, what + " has " + std::to_string(a->size()) + " entries; the model has " + std::to_string(count));
    std::vector<Signal> out(count, Signal::constant(0));
    for (size_t i = 0; i < a->size(); ++i)
        out[i] = signal(src, *a->get(i), what + "[" + std::to_string(i) + "]", allowOpen);
    return out;
}

std::vector<double> numbers(const std::string &src, const toml::node &n, const std::string &what, size_t count)
{
    const toml::array *a = n.as_array();
    if (!a)
        fail(src, n, what + " must be an array");
    if (a->size() > count)
        fail(src, n, what + " has " + std::to_string(a->size()) + " entries; the model has " + std::to_string(count));
    std::vector<double> out(count, 0.0);
    for (size_t i = 0; i < a->size(); ++i)
        out[i] = number(src, *a->get(i), what + "[" + std::to_string(i) + "]");
    return out;
}

uint32_t bits(const std::string &src, const toml::node &n, const std::string &what, uint32_t mask)
{
    long long v = integer(src, n, what);
    if (v < 0 || (static_cast<unsigned long long>(v) & ~static_cast<unsigned long long>(mask)) != 0)
        fail(src, n, what + " has bits the model does not have");
    return static_cast<uint32_t>(v);
}

// The module's address and model: what every other key is read against.
Module identity(const std::string &src, const toml::table &t)
{
    Module m;
    const toml::node *a = t.get("address");
    if (!a)
        fail(src, t, "module without an address");
    long long addr = integer(src, *a, "address");
    if (addr < 0 || addr > 255)
        fail(src, *a, "address must be 0 to 255");
    m.address = static_cast<int>(addr);
    const std::string what = "module " + std::to_string(addr);

    const toml::node *mo = t.get("model");
    if (!mo)
        fail(src, t, what + ": no model");
    long modelNumber = 0;
    if (mo->is_integer())
        modelNumber = static_cast<long>(*mo->value<long long>());
    else if (mo->is_string())
        modelNumber = std::strtol(mo->value<std::string>()->c_str(), nullptr, 10);
    auto model = modelFromNumber(modelNumber);
    if (!model)
        fail(src, *mo, what + ": model must be one of 7017 7018 7024 7041 7043 7052 7053 7060 7065");
    m.model = *model;
    return m;
}

// Data format, checksum and the analog inputs' full scale.
void readFormat(const std::string &src, const toml::table &t, const std::string &what, Module &m)
{
    if (auto f = t.get("format")) {
        auto s = f->value<std::string>();
        if (s == "hex")
            m.hex = true;
        else if (s == "decimal")
            m.hex = false;
        else
            fail(src, *f, what + ": format must be \"decimal\" or \"hex\"");
    }
    if (auto c = t.get("checksum"))
        m.checksum = boolean(src, *c, what + ".checksum");
    if (auto fs = t.get("full_scale")) {
        m.fullScale = number(src, *fs, what + ".full_scale");
        if (!(m.fullScale > 0))
            fail(src, *fs, what + ": full_scale must be above 0");
    }
}

// Inputs, outputs and counters, each only where the model has them.
void readChannels(const std::string &src, const toml::table &t, const std::string &what, Module &m)
{
    const ModelInfo &info = modelInfo(m.model);
    auto only = [&](const char *key, bool has) {
        if (auto n = t.get(key); n && !has)
            fail(src, *n, what + ": model " + std::to_string(info.number) + " has no " + key);
    };
    only("ain", info.ain > 0);
    only("full_scale", info.ain > 0);
    only("aout", info.aout > 0);
    only("safe_aout", info.aout > 0);
    only("din", info.din > 0);
    only("counters", info.din > 0);
    only("dout", info.dout > 0);
    only("safe_dout", info.dout > 0);

    m.ain.assign(static_cast<size_t>(info.ain), Signal::constant(0));
    m.aout.assign(static_cast<size_t>(info.aout), 0.0);
    m.safeAout.assign(static_cast<size_t>(info.aout), 0.0);
    m.counters.assign(static_cast<size_t>(info.din), Signal::constant(0));
    if (auto n = t.get("ain"))
        m.ain = signals(src, *n, what + ".ain", static_cast<size_t>(info.ain), true);
    if (auto n = t.get("aout"))
        m.aout = numbers(src, *n, what + ".aout", static_cast<size_t>(info.aout));
    if (auto n = t.get("safe_aout"))
        m.safeAout = numbers(src, *n, what + ".safe_aout", static_cast<size_t>(info.aout));
    if (auto n = t.get("counters"))
        m.counters = signals(src, *n, what + ".counters", static_cast<size_t>(info.din), false);
    if (auto n = t.get("din"))
        m.din = bits(src, *n, what + ".din", m.dinMask());
    if (auto n = t.get("dout"))
        m.dout = bits(src, *n, what + ".dout", m.doutMask());
    if (auto n = t.get("safe_dout"))
        m.safeDout = bits(src, *n, what + ".safe_dout", m.doutMask());
}

// Its own speed and turnaround on the line.
void readTiming(const std::string &src, const toml::table &t, const std::string &what, Module &m)
{
    if (auto b = t.get("baud")) {
        long long v = integer(src, *b, what + ".baud");
        if (v < 50 || v > 4000000)
            fail(src, *b, what + ".baud out of range");
        m.baud = static_cast<int>(v);
    }
    if (auto ta = t.get("turnaround_ms")) {
        m.turnaroundMs = number(src, *ta, what + ".turnaround_ms");
        if (!std::isfinite(m.turnaroundMs) || m.turnaroundMs < 0)
            fail(src, *ta, what + ".turnaround_ms must be a finite number, not negative");
    }
}

// What the configuration commands read: name, firmware, type code, and the
// INIT wire.
void readConfiguration(const std::string &src, const toml::table &t, const std::string &what, Module &m)
{
    m.name = std::to_string(m.info().number);
    if (auto n = t.get("module_name"))
        m.name = text(src, *n, what + ".module_name", 6);
    if (auto n = t.get("firmware"))
        m.firmware = text(src, *n, what + ".firmware", 16);
    m.typeCode = defaultTypeCode(m.model);
    if (auto n = t.get("type"))
        m.typeCode = static_cast<int>(bits(src, *n, what + ".type", 0xFF));
    if (auto n = t.get("init"))
        m.initWire = m.initMode = boolean(src, *n, what + ".init");
}

// The status byte and the host watchdog.
void readStatus(const std::string &src, const toml::table &t, const std::string &what, Module &m)
{
    if (auto n = t.get("status"))
        m.status = static_cast<uint8_t>(bits(src, *n, what + ".status", 0xFF));
    if (auto n = t.get("watchdog")) {
        const toml::table *w = n->as_table();
        if (!w)
            fail(src, *n, what + ".watchdog must be a table {enabled, value}");
        checkKeys(src, *w, {"enabled", "value"}, what + ".watchdog");
        if (auto e = w->get("enabled"))
            m.wdEnabled = boolean(src, *e, what + ".watchdog.enabled");
        if (auto v = w->get("value")) {
            long long x = integer(src, *v, what + ".watchdog.value");
            if (x < 0 || x > 255)
                fail(src, *v, what + ".watchdog.value must be 0 to 255");
            m.wdValue = static_cast<int>(x);
        }
    }
}

Module module(const std::string &src, const toml::table &t)
{
    checkKeys(src, t, {"name",     "address",   "model",         "format",      "checksum",  "full_scale", "ain",
                       "aout",     "safe_aout", "din",           "dout",        "safe_dout", "counters",   "status",
                       "watchdog", "baud",      "turnaround_ms", "module_name", "firmware",  "type",       "init"},
              "[[module]]");
    Module m = identity(src, t);
    const std::string what = "module " + std::to_string(m.address);
    readFormat(src, t, what, m);
    readChannels(src, t, what, m);
    readTiming(src, t, what, m);
    readConfiguration(src, t, what, m);
    readStatus(src, t, what, m);
    return m;
}

} // namespace

Plant parsePlant(std::string_view text, const std::string &src)
{
    if (tomltext::Place bad = tomltext::unsafeCharacter(text); bad.line > 0)
        throw PlantError(src + ":" + std::to_string(bad.line) +
                         ": a control character, or a character outside the ASCII set outside a comment (column " +
                         std::to_string(bad.column) + ")");
    toml::table root;
    try {
        root = toml::parse(text, src);
    } catch (const toml::parse_error &e) {
        std::ostringstream os;
        os << src << ":" << e.source().begin.line << ": " << e.description();
        throw PlantError(os.str());
    }
    checkKeys(src, root, {"line", "module", "point"}, "the plant file");
    Plant p;
    if (auto l = root.get("line")) {
        const toml::table *t = l->as_table();
        if (!t)
            fail(src, *l, "line must be a table");
        checkKeys(src, *t, {"baud", "turnaround_ms", "duplicate_addresses", "adapter_latency_ms", "adapter_jitter_ms"},
                  "[line]");
        if (auto d = t->get("duplicate_addresses"))
            p.line.duplicateAddresses = boolean(src, *d, "line.duplicate_addresses");
        if (auto b = t->get("baud")) {
            long long v = integer(src, *b, "line.baud");
            if (v < 50 || v > 4000000)
                fail(src, *b, "line.baud out of range");
            p.line.baud = static_cast<int>(v);
        }
        if (auto ta = t->get("turnaround_ms")) {
            p.line.turnaroundMs = number(src, *ta, "line.turnaround_ms");
            if (!std::isfinite(p.line.turnaroundMs) || p.line.turnaroundMs < 0)
                fail(src, *ta, "line.turnaround_ms must be a finite number, not negative");
        }
        if (auto a = t->get("adapter_latency_ms"))
            p.line.adapterLatencyMs = between(src, *a, "line.adapter_latency_ms", 0, 255);
        if (auto j = t->get("adapter_jitter_ms"))
            p.line.adapterJitterMs = between(src, *j, "line.adapter_jitter_ms", 0, 50);
    }
    if (auto ms = root.get("module")) {
        const toml::array *a = ms->as_array();
        if (!a)
            fail(src, *ms, "module must be an array of tables ([[module]])");
        std::set<int> seen;
        for (auto &&n : *a) {
            const toml::table *t = n.as_table();
            if (!t)
                fail(src, n, "module must be an array of tables ([[module]])");
            Module m = module(src, *t);
            if (!seen.insert(m.address).second && !p.line.duplicateAddresses)
                fail(src, n,
                     "address " + std::to_string(m.address) +
                         " used twice (duplicate_addresses = true in [line] allows it)");
            p.modules.push_back(std::move(m));
        }
    }
    if (p.modules.empty())
        fail(src, "no modules");
    if (auto ps = root.get("point")) {
        if (p.line.duplicateAddresses)
            fail(src, *ps, "points name modules by address: not on a line with duplicate addresses");
        readPoints(src, *ps, p);
    }
    return p;
}

Plant loadPlant(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw PlantError(path + ": cannot open");
    std::ostringstream os;
    os << in.rdbuf();
    return parsePlant(os.str(), path);
}

} // namespace vsim
