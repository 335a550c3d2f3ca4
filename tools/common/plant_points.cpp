// A design's tag list: the [[point]] tables of a plant file, each one
// analog channel or digital bit of a module on the line, with its tag and
// engineering range.
#include <cmath>
#include <optional>

#include "plant_read.h"

namespace vsim::plantread {

namespace {

// The channel or bit a point names, against what its module's model has.
void readPointPlace(const std::string &src, const toml::table &t, const std::string &what, const Plant &p, Point &pt)
{
    const toml::node *a = t.get("address");
    if (!a)
        fail(src, t, what + ": no address");
    pt.address = static_cast<int>(integer(src, *a, what + ".address"));
    const Module *m = p.find(pt.address);
    if (!m)
        fail(src, *a, what + ": no module at address " + std::to_string(pt.address));
    const toml::node *d = t.get("direction");
    const auto dir = d ? d->value<std::string>() : std::nullopt;
    if (!dir || (*dir != "in" && *dir != "out"))
        fail(src, d ? *d : static_cast<const toml::node &>(t), what + ": direction must be \"in\" or \"out\"");
    const toml::node *ch = t.get("channel");
    const toml::node *bit = t.get("bit");
    if ((ch == nullptr) == (bit == nullptr))
        fail(src, t, what + ": give a channel (analog) or a bit (digital), one of the two");
    const bool in = *dir == "in";
    pt.kind = ch ? (in ? Point::Kind::AnalogIn : Point::Kind::AnalogOut)
                 : (in ? Point::Kind::DigitalIn : Point::Kind::DigitalOut);
    const ModelInfo &info = m->info();
    const int count = ch ? (in ? info.ain : info.aout) : (in ? info.din : info.dout);
    const char *kind = ch ? (in ? "analog inputs" : "analog outputs") : (in ? "digital inputs" : "digital outputs");
    const toml::node &at = ch ? *ch : *bit;
    const long long n = integer(src, at, what + (ch ? ".channel" : ".bit"));
    if (n < 0 || n >= count)
        fail(src, at,
             what + ": the " + std::to_string(info.number) + " at " + std::to_string(pt.address) + " has " +
                 std::to_string(count) + " " + kind + (count ? " (0 to " + std::to_string(count - 1) + ")" : ""));
    pt.channel = static_cast<int>(n);
}

// Two finite numbers, the second above the first.
void span(const std::string &src, const toml::node &n, const std::string &what, double out[2])
{
    const toml::array *a = n.as_array();
    if (!a || a->size() != 2)
        fail(src, n, what + " must be two numbers [low, high]");
    for (size_t i = 0; i < 2; ++i) {
        out[i] = number(src, *a->get(i), what + "[" + std::to_string(i) + "]");
        if (!std::isfinite(out[i]))
            fail(src, *a->get(i), what + " must be finite");
    }
    if (!(out[1] > out[0]))
        fail(src, n, what + ": high must be above low");
}

Point point(const std::string &src, const toml::table &t, const Plant &p)
{
    checkKeys(src, t,
              {"tag", "description", "address", "direction", "channel", "bit", "range", "signal", "unit", "safe"},
              "[[point]]");
    Point pt;
    const toml::node *tag = t.get("tag");
    if (!tag)
        fail(src, t, "point without a tag");
    pt.tag = text(src, *tag, "tag", 32);
    const std::string what = "point " + pt.tag;
    if (auto n = t.get("description"))
        pt.description = text(src, *n, what + ".description", 80);
    readPointPlace(src, t, what, p, pt);
    if (!pt.analog()) {
        for (const char *k : {"range", "signal", "unit"})
            if (auto n = t.get(k))
                fail(src, *n, what + ": a bit has no " + k);
    } else {
        const toml::node *r = t.get("range");
        if (!r)
            fail(src, t, what + ": an analog point needs its range [low, high]");
        span(src, *r, what + ".range", pt.range);
        pt.signal[0] = pt.range[0];
        pt.signal[1] = pt.range[1];
        if (auto n = t.get("signal"))
            span(src, *n, what + ".signal", pt.signal);
        if (auto n = t.get("unit"))
            pt.unit = text(src, *n, what + ".unit", 16);
    }
    if (auto n = t.get("safe")) {
        if (!pt.output())
            fail(src, *n, what + ": only an output has a safe value");
        pt.safe = pt.analog() ? number(src, *n, what + ".safe") : (boolean(src, *n, what + ".safe") ? 1 : 0);
        if (pt.analog() && !std::isfinite(pt.safe))
            fail(src, *n, what + ".safe must be finite");
    }
    return pt;
}

} // namespace

void readPoints(const std::string &src, const toml::node &ps, Plant &p)
{
    const toml::array *a = ps.as_array();
    if (!a)
        fail(src, ps, "point must be an array of tables ([[point]])");
    for (auto &&n : *a) {
        const toml::table *t = n.as_table();
        if (!t)
            fail(src, n, "point must be an array of tables ([[point]])");
        Point pt = point(src, *t, p);
        for (const Point &o : p.points) {
            if (o.tag == pt.tag)
                fail(src, n, "tag " + pt.tag + " used twice");
            if (o.address == pt.address && o.kind == pt.kind && o.channel == pt.channel)
                fail(src, n, "point " + pt.tag + " is the same " + (pt.analog() ? "channel" : "bit") + " as " + o.tag);
        }
        p.points.push_back(std::move(pt));
    }
}

} // namespace vsim::plantread
