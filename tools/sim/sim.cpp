#include "sim.h"

#include "wire_format.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <sstream>

#include "answers.h"
#include "numbers.h"

namespace vsim {

namespace {

// Longest command line kept; a longer one is noise and is dropped.
constexpr size_t MAX_LINE = 255;

} // namespace

void Logger::event(Millis now, const std::string &what)
{
    if (!f_)
        return;
    std::fprintf(f_, "[%10.3f] %s\n", now, what.c_str());
    std::fflush(f_);
}

Simulator::Simulator(Plant plant, uint64_t seed, Logger log)
    : plant_(std::move(plant)), faults_(seed), log_(log), baud_(plant_.line.baud),
      turnaroundMs_(plant_.line.turnaroundMs), lineRng_(seed ^ 0x9E3779B97F4A7C15ull),
      adapter_(seed ^ 0xD1B54A32D192ED03ull)
{
    adapter_.setLatency(plant_.line.adapterLatencyMs, 0);
    adapter_.setJitter(plant_.line.adapterJitterMs);
}

void Simulator::hostBaud(int baud, Millis now)
{
    if (baud == baud_)
        return;
    log_.event(now, "-- line: the host set " + std::to_string(baud) + " baud (was " + std::to_string(baud_) + ")");
    baud_ = baud;
}

// ---------------------------------------------------------------------------
// Line side
//
// One pair of wires: a character is on the line from its start bit to its
// stop bit, and two characters on the line at once destroy each other.  The
// host's characters are stamped as they cross (one after the other, from
// when they were read); a module's are scheduled in out_ with the moment
// they have crossed.  Nothing waits for the line to be free: a module
// answers its turnaround after the command, whatever else is on the wire.

namespace {
// Characters that touch end to start do not overlap.
constexpr double TOUCH = 1e-6;
bool overlap(Millis s1, Millis e1, Millis s2, Millis e2) { return s1 < e2 - TOUCH && s2 < e1 - TOUCH; }
std::string moduleName(int addr) { return "module " + hex2(static_cast<unsigned>(addr)) + "h"; }
} // namespace

// What a receiver makes of two characters at once: bytes with the high bit
// set (framing errors), never a carriage return or a protocol character.
char Simulator::garbage()
{
    std::uniform_int_distribution<int> b(0x80, 0xFF);
    return static_cast<char>(b(lineRng_));
}

void Simulator::receive(std::string_view bytes, Millis now)
{
    for (char c : bytes) {
        // Each character takes its time on the wire, one after the other.
        const Millis start = std::max(rxFree_, now);
        rxFree_ = start + charMs();
        if (!hostChar(start, rxFree_, now) && tap_)
            hostHeard_.push_back({rxFree_, c});
        if (c == '\r') {
            std::string line;
            line.swap(rx_);
            if (rxGarbled_) {
                // The modules heard garbage: nobody acts on it.
                ++stats_.commands;
                log_.event(now, "rx \"" + wire::escape(line) + "\\r\" garbled by a collision: dropped");
                rxGarbled_ = false;
                rxHits_.clear();
                continue;
            }
            command(line, rxFree_, now);
            continue;
        }
        if (c == '\n' && rx_.empty())
            continue; // the LF of a CR LF
        if (rx_.size() >= MAX_LINE) {
            log_.event(now, "rx discarded an overlong line \"" + wire::escape(rx_.substr(0, 40)) + "...\"");
            rx_.clear();
        }
        rx_ += c;
    }
}

// Garbles every character on the line that overlaps [start, end]: the line
// carries one garbled character for the two.  Each transmission met counts
// and logs one collision the first time (`met` remembers them).  Returns
// whether any character was met.
bool Simulator::garbleOverlaps(Millis start, Millis end, std::vector<uint64_t> &met, Millis now,
                               const std::function<std::string(const Out &)> &collision)
{
    bool any = false;
    for (Out &o : out_) {
        if (!overlap(start, end, o.start, o.due))
            continue;
        o.byte = garbage();
        any = true;
        if (std::find(met.begin(), met.end(), o.tx) != met.end())
            continue;
        met.push_back(o.tx);
        ++stats_.collisions;
        log_.event(now, "-- collision: " + collision(o) + "; both garbled");
    }
    return any;
}

bool Simulator::hostChar(Millis start, Millis end, Millis now)
{
    if (!garbleOverlaps(start, end, rxHits_, now, [&](const Out &o) {
            return "the host's command runs into the transmission of " + moduleName(o.addr) + " at " + fixed3(start);
        }))
        return false;
    rxGarbled_ = true;
    return true;
}

Millis Simulator::transmit(std::vector<Out> chars, Millis now)
{
    const uint64_t tx = nextTx_++;
    std::vector<uint64_t> hit;
    Millis end = now;
    std::vector<Out> clear; // the characters that meet nothing
    for (Out &c : chars) {
        c.tx = tx;
        end = std::max(end, c.due);
        const bool met = garbleOverlaps(c.start, c.due, hit, now, [&](const Out &o) {
            return "the transmissions of " + moduleName(c.addr) + " and " + moduleName(o.addr) + " overlap at " +
                   fixed3(std::max(c.start, o.start));
        });
        if (!met)
            clear.push_back(c);
    }
    for (const Out &c : clear) {
        auto at = std::upper_bound(out_.begin(), out_.end(), c.due, [](Millis d, const Out &o) { return d < o.due; });
        out_.insert(at, c);
    }
    return end;
}

void Simulator::command(const std::string &line, Millis done, Millis now)
{
    ++stats_.commands;
    log_.event(now, "rx \"" + wire::escape(line) + "\\r\"");
    tick(now);
    const std::vector<Frame> all = frames(plant_, line);
    for (const Frame &f : all)
        answerFrame(f, done, now);
}

void Simulator::answerFrame(const Frame &f, Millis done, Millis now)
{
    if (f.module && f.module->listensAt() > 0 && f.module->listensAt() != baud_) {
        ++stats_.wrongBaud;
        log_.event(now, "-- no reply: " + moduleName(f.module->answersAt()) + " listens at " +
                            std::to_string(f.module->listensAt()) + " baud, line at " + std::to_string(baud_));
        return;
    }
    switch (f.kind) {
    case Frame::Kind::Garbage:
    case Frame::Kind::NoModule:
        ++stats_.unaddressed;
        log_.event(now, f.kind == Frame::Kind::Garbage ? "-- no reply: not a command" : "-- no reply: no such module");
        return;
    case Frame::Kind::BadChecksum:
        ++stats_.badChecksum;
        log_.event(now, "-- no reply: module " + std::to_string(f.module->answersAt()) + " wants a correct checksum");
        return;
    case Frame::Kind::Broadcast: {
        ++stats_.broadcasts;
        const int n = hostOk(plant_, f.broadcastSum, now, baud_);
        log_.event(now, "-- host OK: " + std::to_string(n) + " watchdog(s) restarted");
        return;
    }
    case Frame::Kind::Addressed:
        break;
    }
    Module &m = *f.module;
    const std::vector<Fault> struck = faults_.roll(m.answersAt());
    stats_.faults += struck.size();
    if (!struck.empty()) {
        std::string names;
        for (const auto &s : struck)
            names += std::string(names.empty() ? "" : ",") + faultName(s.kind);
        log_.event(now, "-- fault " + names);
    }
    if (has(struck, FaultKind::Silence)) {
        ++stats_.lost;
        log_.event(now, "-- no reply: silence (command not carried out)");
        return;
    }
    for (const Fault &b : struck)
        if (b.kind == FaultKind::Babble) {
            babble(m, b, done, now);
            return;
        }
    std::string reply;
    if (has(struck, FaultKind::Refuse)) {
        reply = refusal(m);
    } else {
        const bool was = m.wdExpired;
        reply = execute(m, f.payload, now, baud_);
        if (!was && m.wdExpired)
            log_.event(now, "-- " + moduleName(m.answersAt()) + ": host watchdog expired");
    }
    if (!reply.empty() && reply[0] == '?')
        ++stats_.refused;
    send(m, reply, struck, done, now);
}

void Simulator::send(const Module &m, const std::string &reply, const std::vector<Fault> &struck, Millis done,
                     Millis now)
{
    const Shaped s = faults_.shape(reply, m.sums(), struck);
    Millis at = done + turnaroundOf(m) + s.delayMs;
    std::vector<Out> chars;
    std::string all;
    for (size_t p = 0; p < s.pieces.size(); ++p) {
        at += s.pieces[p].gapMs;
        for (char c : s.pieces[p].bytes) {
            chars.push_back({at, at + charMs(), c, 0, m.answersAt(), false});
            at += charMs();
        }
        all += s.pieces[p].bytes;
    }
    ++stats_.replies;
    log_.event(now, "tx \"" + wire::escape(all) + "\" (ends at " + fixed3(at) + ")");
    transmit(std::move(chars), now);
}

// A module that has lost its mind: garbage (or the fault's text, over and
// over) for the fault's time, from its turnaround on.  The command is not
// carried out.
void Simulator::babble(const Module &m, const Fault &f, Millis done, Millis now)
{
    Millis at = done + turnaroundOf(m);
    const long n = std::max(1L, static_cast<long>(std::ceil(f.delay() / charMs() - TOUCH)));
    std::vector<Out> chars;
    for (long i = 0; i < n; ++i) {
        const char c = f.text.empty() ? garbage() : f.text[static_cast<size_t>(i) % f.text.size()];
        chars.push_back({at, at + charMs(), c, 0, m.answersAt(), false});
        at += charMs();
    }
    log_.event(now, "-- " + moduleName(m.answersAt()) + " babbles " + std::to_string(n) + " characters until " +
                        fixed3(at) + " (command not carried out)");
    transmit(std::move(chars), now);
}

std::string Simulator::offTheWire(Millis now)
{
    std::string s;
    while (!out_.empty() && out_.front().due <= now) {
        s += out_.front().byte;
        out_.pop_front();
    }
    return s;
}

// Through an adapter, the characters that have crossed the wire go into its
// buffer, and the host gets the bursts it has delivered.  Nothing on the
// wire changes: collisions happen at the characters' wire times, and a
// character that has crossed can meet nothing more.  Without an adapter
// (and once one switched off has delivered what it held) the host gets each
// character as it crosses.
void Simulator::intoAdapter(Millis now)
{
    if (!adapter_.on())
        return;
    for (; !out_.empty() && out_.front().due <= now; out_.pop_front())
        adapter_.arrive(out_.front().byte, out_.front().due);
    adapter_.expire(now);
}

std::string Simulator::takeDue(Millis now)
{
    tapCrossed(now);
    if (!adapter_.on() && !adapter_.holding())
        return offTheWire(now);
    intoAdapter(now);
    std::string s;
    for (const std::string &burst : adapter_.take(now)) {
        s += burst;
        ++stats_.bursts;
    }
    if (!adapter_.on() && !adapter_.holding())
        s += offTheWire(now);
    return s;
}

// A character that has crossed can meet nothing more (every later one
// starts after it), so what the tap hears of it is final.
void Simulator::tapCrossed(Millis now)
{
    if (!tap_)
        return;
    for (Out &o : out_) {
        if (o.due > now)
            break;
        if (!o.tapped)
            moduleHeard_.push_back({o.due, o.byte});
        o.tapped = true;
    }
}

void Simulator::tapWritten(size_t bytes, Millis now)
{
    stats_.tapWritten += bytes;
    log_.event(now, "-- tap: the listener wrote " + std::to_string(bytes) + " bytes; dropped");
}

std::string Simulator::takeTap(Millis now)
{
    tapCrossed(now);
    std::string s;
    for (;;) {
        const bool host = !hostHeard_.empty() && hostHeard_.front().due <= now;
        const bool module = !moduleHeard_.empty() && moduleHeard_.front().due <= now;
        if (!host && !module)
            return s;
        std::deque<Heard> &from =
            host && (!module || hostHeard_.front().due <= moduleHeard_.front().due) ? hostHeard_ : moduleHeard_;
        s += from.front().byte;
        from.pop_front();
    }
}

std::optional<Millis> Simulator::nextTapDue() const
{
    std::optional<Millis> next;
    const auto earlier = [&next](Millis t) {
        if (!next || t < *next)
            next = t;
    };
    if (!hostHeard_.empty())
        earlier(hostHeard_.front().due);
    if (!moduleHeard_.empty())
        earlier(moduleHeard_.front().due);
    for (const Out &o : out_)
        if (tap_ && !o.tapped) {
            earlier(o.due);
            break;
        }
    return next;
}

Millis Simulator::nextDue() const
{
    if (!adapter_.on() && !adapter_.holding())
        return out_.empty() ? 0 : out_.front().due;
    // What the adapter would make of the characters on the wire if nothing
    // else came: the first burst it delivers.  A copy, so that asking draws
    // nothing (the jitter of that burst is the one its real delivery gets).
    Adapter a = adapter_;
    for (const Out &o : out_) {
        if (a.firstDelivery() || !a.on())
            break;
        a.arrive(o.byte, o.due);
    }
    if (!a.firstDelivery() && a.on())
        a.expire(std::numeric_limits<Millis>::infinity());
    if (auto d = a.firstDelivery())
        return *d;
    return out_.empty() ? 0 : out_.front().due;
}

std::optional<Millis> Simulator::nextDeadline() const
{
    std::optional<Millis> next;
    for (const auto &m : plant_.modules)
        if (auto d = m.watchdogDeadline(); d && (!next || *d < *next))
            next = d;
    return next;
}

void Simulator::tick(Millis now)
{
    for (int a : tickAll(plant_, now))
        log_.event(now, "-- " + moduleName(a) + ": host watchdog expired, outputs at their safe values");
}

} // namespace vsim
