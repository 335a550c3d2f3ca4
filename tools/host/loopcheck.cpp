// The loop check's results, its option string, the texts of a point and the
// check under way; see loopcheck.h.  The points' I/O is point_io.cpp, the
// terminal screen loopcheck_screen.cpp.
#include "loopcheck.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "ladder.h"
#include "option_ranges.h"
#include "survey_settings.h"
#include "timestamp.h"
#include "wire.h"

namespace vhost {

namespace {

using vsim::Point;

constexpr const char *RESULTS_KIND = "veldran-loopcheck";
constexpr int RESULTS_VERSION = 1;
// Room beyond the longest exchange's wire time, as a survey recommends it
// for a line whose replies come on time.
constexpr double OPTIONS_MARGIN_MS = 5.0;

const char *const RESULTS[] = {"passed", "failed", "skipped", "open"};

std::string number(double v)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

const char *kindText(Point::Kind k)
{
    switch (k) {
    case Point::Kind::AnalogIn:
        return "analog input";
    case Point::Kind::AnalogOut:
        return "analog output";
    case Point::Kind::DigitalIn:
        return "digital input";
    case Point::Kind::DigitalOut:
        return "digital output";
    }
    return "";
}

} // namespace

json::Value resultValue(const PointResult &p, const std::string *description)
{
    json::Value o = json::Value::object();
    o.set("tag", p.tag);
    if (description)
        o.set("description", *description);
    o.set("result", p.result);
    o.set("note", p.note);
    o.set("seen", p.seen);
    o.set("engineer", p.engineer);
    o.set("date", p.date);
    return o;
}

json::Value resultsValue(const LoopResults &r)
{
    json::Value v = json::Value::object();
    v.set("kind", RESULTS_KIND);
    v.set("version", RESULTS_VERSION);
    json::Value design = json::Value::object();
    design.set("file", r.designFile);
    design.set("sha256", r.designSha);
    v.set("design", design);
    json::Value points = json::Value::array();
    for (const PointResult &p : r.points)
        points.push(resultValue(p));
    v.set("points", points);
    return v;
}

bool resultsFrom(const json::Value &v, LoopResults &r, std::string &error)
{
    if (v.str("kind") != RESULTS_KIND) {
        error = "not a loop check's results (\"kind\" is not \"" + std::string(RESULTS_KIND) + "\")";
        return false;
    }
    if (v.num("version") != RESULTS_VERSION) {
        error = "results of version " + number(v.num("version")) + "; this program reads version 1";
        return false;
    }
    r = LoopResults();
    if (const json::Value *d = v.find("design")) {
        r.designFile = d->str("file");
        r.designSha = d->str("sha256");
    }
    for (const json::Value &p : v.list("points")) {
        PointResult pr;
        pr.tag = p.str("tag");
        pr.result = p.str("result", "open");
        if (std::find(std::begin(RESULTS), std::end(RESULTS), pr.result) == std::end(RESULTS)) {
            error = "point " + pr.tag + ": the result \"" + pr.result + "\" is none of passed, failed, skipped, open";
            return false;
        }
        pr.note = p.str("note");
        pr.seen = p.str("seen");
        pr.engineer = p.str("engineer");
        pr.date = p.str("date");
        r.points.push_back(pr);
    }
    return true;
}

LoopResults resultsFor(const vsim::Plant &design, const LoopResults &earlier)
{
    LoopResults r;
    r.designFile = earlier.designFile;
    r.designSha = earlier.designSha;
    for (const Point &p : design.points) {
        PointResult pr;
        pr.tag = p.tag;
        for (const PointResult &e : earlier.points)
            if (e.tag == p.tag)
                pr = e;
        r.points.push_back(pr);
    }
    return r;
}

size_t firstOpen(const LoopResults &r, const std::vector<std::string> &only)
{
    // The first point not yet checked; once every one is, the first that
    // did not pass, so that a check run again goes over what is left.
    for (const char *wanted : {"open", "failed", "skipped"})
        for (size_t i = 0; i < r.points.size(); ++i) {
            const PointResult &p = r.points[i];
            const bool chosen = only.empty() || std::find(only.begin(), only.end(), p.tag) != only.end();
            if (chosen && (p.result == wanted || (std::string(wanted) != "open" && p.result != "passed")))
                return i;
        }
    return r.points.size();
}

std::string designOptions(const vsim::Plant &design, int port, int timeoutMs)
{
    // Checksums when the modules the points address all use them.
    bool checksum = !design.points.empty();
    double longest = 0;
    const int baud = design.line.baud;
    for (const Point &p : design.points)
        if (const vsim::Module *m = design.find(p.address))
            checksum = checksum && m->checksum;
    for (const Point &p : design.points) {
        const vsim::Module *m = design.find(p.address);
        if (!m)
            continue;
        InputValues in;
        in.addr = m->address;
        in.format = m->hex ? 2 : 0;
        const PointInstructions is = pointInstructions(*m, p);
        for (const catalogue::Instruction *i : {is.read, is.write})
            if (i)
                for (const Exchange &e : exchangesOf(*i, in, checksum))
                    longest = std::max(longest, wireMs(wireChars(e), baud));
    }
    const int timeout =
        timeoutMs > 0 ? timeoutMs : clampTimeout(static_cast<int>(std::ceil(longest * 1.25 + OPTIONS_MARGIN_MS)));
    return optionsFor(port, baud / 100, checksum, timeout, static_cast<int>(LATENCY_DEFAULT_MS));
}

std::string pointPlace(const vsim::Plant &design, const Point &p)
{
    const vsim::Module *m = design.find(p.address);
    std::string s = addressText(p.address) + " (" + (m ? std::to_string(m->info().number) : "no module") + ") " +
                    (p.analog() ? "channel " : "bit ") + std::to_string(p.channel) + ", " + kindText(p.kind);
    if (!p.analog())
        return s;
    s += " " + number(p.range[0]) + " to " + number(p.range[1]) + (p.unit.empty() ? "" : " " + p.unit);
    if (p.signal[0] != p.range[0] || p.signal[1] != p.range[1])
        s += " (signal " + number(p.signal[0]) + " to " + number(p.signal[1]) + ")";
    return s;
}

std::string pointValueText(const Point &p, double v)
{
    if (!p.analog())
        return v != 0 ? "1" : "0";
    char buf[48];
    snprintf(buf, sizeof buf, "%.3f", v);
    return std::string(buf) + (p.unit.empty() ? "" : " " + p.unit);
}

// ---------------------------------------------------------------------------
// The check under way.

LoopCheck::LoopCheck(const vsim::Plant &design, PointIo &io, LoopResults &results, Setup setup)
    : design_(design), io_(io), results_(results), setup_(std::move(setup))
{
    for (size_t i = 0; i < design_.points.size(); ++i) {
        const std::vector<std::string> &only = setup_.only;
        if (only.empty() || std::find(only.begin(), only.end(), design_.points[i].tag) != only.end())
            order_.push_back(i);
    }
    if (!setup_.now)
        setup_.now = isoTimestamp;
}

bool LoopCheck::start()
{
    const size_t first = firstOpen(results_, setup_.only);
    if (first >= design_.points.size()) {
        over_ = true;
        return false;
    }
    enter(first);
    return true;
}

size_t LoopCheck::positionOf() const
{
    return static_cast<size_t>(std::find(order_.begin(), order_.end(), at_) - order_.begin()) + 1;
}

void LoopCheck::enter(size_t i)
{
    at_ = i;
    forced_.clear();
    shown_ = io_.read(point()).text;
    const Point &p = point();
    const PointResult &r = result();
    setup_.say(p.tag + "  " + p.description + "  " + pointPlace(design_, p) + ": " +
               (p.output() ? "holds " : "reads ") + shown_ +
               (r.result == "open" ? "" : " (" + r.result + (r.note.empty() ? "" : ": " + r.note) + ")"));
}

void LoopCheck::leave()
{
    if (forced_.empty())
        return;
    const Point &p = point();
    Reading r = io_.force(p, p.safe);
    forced_.clear();
    shown_ = r.text;
    setup_.say(p.tag + " back to its safe value " + pointValueText(p, p.safe) +
               (r.code             ? ": " + r.text
                : io_.readsBack(p) ? ", reads back " + r.text
                                   : ""));
}

void LoopCheck::move(int step)
{
    const size_t pos = positionOf() - 1; // from 0
    leave();
    if (step < 0 && pos == 0) {
        enter(at_);
        return;
    }
    const size_t next = step < 0 ? pos - 1 : pos + 1;
    if (next >= order_.size()) {
        over_ = true;
        return;
    }
    enter(order_[next]);
}

void LoopCheck::mark(const std::string &result, const std::string &note)
{
    PointResult &r = results_.points[at_];
    r.result = result;
    r.note = note;
    r.seen = forced_.empty()                      ? shown_
             : io_.readsBack(design_.points[at_]) ? "forced " + forced_ + ", reads back " + shown_
                                                  : "forced " + forced_ + ", " + shown_;
    r.engineer = setup_.engineer;
    r.date = setup_.now();
    setup_.say(r.tag + ": " + result + (note.empty() ? "" : ": " + note));
    if (setup_.save)
        setup_.save(results_);
}

void LoopCheck::force(const std::string &value)
{
    const Point &p = point();
    char *end = nullptr;
    const double v = strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0' || !std::isfinite(v) || (!p.analog() && v != 0 && v != 1)) {
        setup_.say(p.analog() ? "set: a value in " + (p.unit.empty() ? std::string("the module's units") : p.unit) +
                                    ", not \"" + value + "\""
                              : "set: 1 or 0 for a bit, not \"" + value + "\"");
        return;
    }
    Reading r = io_.force(p, v);
    forced_ = pointValueText(p, v);
    shown_ = r.text;
    setup_.say(p.tag + " forced to " + forced_ + ": " +
               (r.code             ? r.text
                : io_.readsBack(p) ? "reads back " + r.text
                                   : r.text));
}

bool LoopCheck::command(const std::string &line)
{
    if (over_)
        return false;
    const size_t b = line.find_first_not_of(' ');
    const std::string text = b == std::string::npos ? "" : line.substr(b, line.find_last_not_of(" \r") - b + 1);
    const size_t sp = text.find(' ');
    const std::string word = text.substr(0, sp);
    const std::string rest = sp == std::string::npos ? "" : text.substr(text.find_first_not_of(' ', sp));
    if (word == "pass" || word == "skip") {
        mark(word == "pass" ? "passed" : "skipped", rest);
        move(1);
    } else if (word == "fail" && rest.empty()) {
        setup_.say("fail: a note says what failed (fail NOTE)");
    } else if (word == "fail") {
        mark("failed", rest);
        move(1);
    } else if (word == "set" && !point().output()) {
        setup_.say("set: " + point().tag + " is an input");
    } else if (word == "set") {
        force(rest);
    } else if (word == "read") {
        refresh();
        setup_.say(point().tag + (point().output() ? " holds " : " reads ") + shown_);
    } else if (word == "next" || word == "back") {
        move(word == "next" ? 1 : -1);
    } else if (word == "quit") {
        leave();
        over_ = true;
    } else if (!word.empty() && word[0] != '#') {
        setup_.say("unknown command \"" + word + "\": pass, fail NOTE, skip, set VALUE, read, next, back or quit");
    }
    return !over_;
}

bool LoopCheck::refresh()
{
    if (point().kind == Point::Kind::AnalogOut || over_)
        return false;
    std::string was = shown_;
    shown_ = io_.read(point()).text;
    return shown_ != was;
}

void LoopCheck::finish()
{
    if (!over_)
        leave();
}

} // namespace vhost
