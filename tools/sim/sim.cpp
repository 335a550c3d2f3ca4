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

std::vector<std::string> words(const std::string &line)
{
    std::istringstream is(line);
    std::vector<std::string> w;
    for (std::string s; is >> s;)
        w.push_back(s);
    return w;
}

std::string fixed3(double v)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.3f", v);
    return buf;
}

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
        hostChar(start, rxFree_, now);
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

void Simulator::hostChar(Millis start, Millis end, Millis now)
{
    if (garbleOverlaps(start, end, rxHits_, now, [&](const Out &o) {
            return "the host's command runs into the transmission of " + moduleName(o.addr) + " at " + fixed3(start);
        }))
        rxGarbled_ = true;
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
            chars.push_back({at, at + charMs(), c, 0, m.answersAt()});
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
        chars.push_back({at, at + charMs(), c, 0, m.answersAt()});
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

// ---------------------------------------------------------------------------
// Control side

std::string Simulator::control(const std::string &raw, Millis now)
{
    std::string line = raw;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.pop_back();
    const auto w = words(line);
    if (w.empty())
        return "ERR empty command";
    ++stats_.control;
    log_.event(now, "ctl \"" + wire::escape(line) + "\"");
    tick(now);
    const std::string r = controlReply(w, now);
    log_.event(now, "ctl-reply \"" + r + "\"");
    return r;
}

std::string Simulator::controlReply(const std::vector<std::string> &w, Millis now)
{
    const std::string &c = w[0];
    if (c == "ping")
        return "OK";
    if (c == "set")
        return controlSet(w, now);
    if (c == "get")
        return controlGet(w, now);
    if (c == "fault")
        return controlFault(w);
    if (c == "clear-faults") {
        faults_.clear();
        return "OK";
    }
    if (c == "faults") {
        std::string r = "OK " + std::to_string(faults_.faults().size());
        for (const auto &f : faults_.faults())
            r += "; " + describe(f);
        return r;
    }
    if (auto r = controlModule(w, now))
        return *r;
    if (c == "hostok" && w.size() == 1) {
        hostOk(plant_, checksum("~**"), now);
        return "OK";
    }
    if (c == "stats")
        return statsReply();
    if (c == "quit") {
        quit_ = true;
        return "OK";
    }
    return "ERR unknown command: " + c;
}

std::string Simulator::controlFault(const std::vector<std::string> &w)
{
    std::string err;
    auto f = parseFault(std::vector<std::string>(w.begin() + 1, w.end()), &err);
    if (!f)
        return "ERR " + err;
    if (f->address >= 0 && !plant_.find(f->address) && plant_.answering(f->address).empty())
        return "ERR no module " + std::to_string(f->address);
    faults_.add(*f);
    return "OK " + describe(*f);
}

// expire, reset, init and power: what one module goes through.  Nothing for
// another command, or one of these with the wrong number of words (an
// unknown command then, but for init).
std::optional<std::string> Simulator::controlModule(const std::vector<std::string> &w, Millis now)
{
    const std::string &c = w[0];
    if (c == "init" && (w.size() != 3 || (w[2] != "0" && w[2] != "1")))
        return "ERR usage: init <addr> 0|1";
    if (c != "init" && (w.size() != 2 || (c != "expire" && c != "reset" && c != "power")))
        return std::nullopt;
    Module *m = moduleRef(w[1]);
    if (!m)
        return "ERR no module " + w[1];
    if (c == "expire")
        m->expire();
    else if (c == "reset")
        m->resetStatus(now);
    else if (c == "init")
        m->initWire = w[2] == "1"; // read at the next power-up
    else {
        m->powerUp(now);
        return "OK " + moduleSummary(*m);
    }
    return "OK";
}

std::string Simulator::statsReply() const
{
    std::ostringstream os;
    os << "OK commands=" << stats_.commands << " replies=" << stats_.replies << " broadcasts=" << stats_.broadcasts
       << " refused=" << stats_.refused << " badsum=" << stats_.badChecksum << " unaddressed=" << stats_.unaddressed
       << " lost=" << stats_.lost << " faults=" << stats_.faults << " control=" << stats_.control
       << " collisions=" << stats_.collisions << " wrongbaud=" << stats_.wrongBaud << " bursts=" << stats_.bursts
       << " baud=" << baud_ << " turnaround=" << turnaroundMs_ << " adapter_latency_ms=" << adapter_.latency()
       << " adapter_jitter_ms=" << adapter_.jitter();
    return os.str();
}

// A module by its address, or by its place in the plant file (#1 the first
// [[module]]), which tells apart modules that share an address.
Module *Simulator::moduleRef(const std::string &ref)
{
    long a = -1;
    if (ref.size() > 1 && ref[0] == '#') {
        if (!toLong(ref.substr(1), a) || a < 1 || static_cast<size_t>(a) > plant_.modules.size())
            return nullptr;
        return &plant_.modules[static_cast<size_t>(a - 1)];
    }
    // An address is a byte: a larger number is none, not the byte it ends in.
    return toLong(ref, a) && a >= 0 && a <= 255 ? plant_.find(static_cast<int>(a)) : nullptr;
}

// After a power-up: the address it answers at, its speed and checksum.
std::string Simulator::moduleSummary(const Module &m) const
{
    return "address=" + hex2(static_cast<unsigned>(m.answersAt())) +
           " baud=" + (m.listensAt() > 0 ? std::to_string(m.listensAt()) : std::string("line")) +
           " checksum=" + (m.sums() ? "1" : "0") + " init=" + (m.initMode ? "1" : "0");
}

// set line baud <n> | turnaround <ms> | adapter_latency_ms <ms> | adapter_jitter_ms <ms>
std::string Simulator::controlSetLine(const std::vector<std::string> &w, Millis now)
{
    double v = 0;
    const bool number = toDouble(w[3], v);
    if (number && w[2] == "baud" && v >= 50 && v <= 4000000) {
        baud_ = static_cast<int>(v);
    } else if (number && w[2] == "turnaround" && v >= 0) {
        turnaroundMs_ = v;
    } else if (number && w[2] == "adapter_latency_ms" && v >= 0 && v <= Adapter::MAX_LATENCY_MS) {
        // What has crossed the wire by now is in the adapter's buffer and
        // goes to the host as the change takes it.
        intoAdapter(now);
        adapter_.setLatency(v, now);
    } else if (number && w[2] == "adapter_jitter_ms" && v >= 0 && v <= Adapter::MAX_JITTER_MS) {
        adapter_.setJitter(v);
    } else {
        return "ERR usage: set line baud <n> | set line turnaround <ms> | set line adapter_latency_ms <0..255> | "
               "set line adapter_jitter_ms <0..50>";
    }
    return "OK";
}

namespace {

using Words = std::vector<std::string>;

// The channel number in w[3], below `count`.
bool channelArg(const Words &w, int count, long &ch)
{
    return w.size() > 3 && toLong(w[3], ch) && ch >= 0 && ch < count;
}

// The one value in w[3] (set <addr> din|dout <n>), within `mask`.
bool bitsArg(const Words &w, uint32_t mask, long &n)
{
    return w.size() == 4 && toLong(w[3], n) && n >= 0 &&
           (static_cast<unsigned long>(n) & ~static_cast<unsigned long>(mask)) == 0;
}

// set A ain CH ramp START RATE [MIN MAX [wrap|bounce|clamp]]: the ramp,
// starting `now`; an error reply, or nothing.
std::string rampArgs(const Words &w, Millis now, Signal &r)
{
    r.kind = Signal::Kind::Ramp;
    r.origin = now;
    if (!toDouble(w[5], r.value) || !toDouble(w[6], r.rate))
        return "ERR bad ramp";
    if (w.size() >= 9) {
        r.bounded = true;
        if (!toDouble(w[7], r.min) || !toDouble(w[8], r.max) || !(r.max > r.min))
            return "ERR bad ramp bounds";
    }
    if (w.size() == 10) {
        if (w[9] == "wrap")
            r.mode = Signal::Mode::Wrap;
        else if (w[9] == "bounce")
            r.mode = Signal::Mode::Bounce;
        else if (w[9] == "clamp")
            r.mode = Signal::Mode::Clamp;
        else
            return "ERR bad ramp mode";
    } else if (w.size() != 7 && w.size() != 9)
        return "ERR bad ramp";
    return {};
}

// The settings of one module, `set <addr> <what> ...`: each answers the
// control line, w[2] names what is set.

std::string setAin(Module &m, const Words &w, Millis now)
{
    long ch = -1;
    double v = 0;
    if (!channelArg(w, m.info().ain, ch))
        return "ERR bad analog input channel";
    Signal &s = m.ain[static_cast<size_t>(ch)];
    const bool open = w[2] == "ain-open";
    if (open && w.size() == 4)
        s = Signal::open();
    else if (!open && w.size() == 5 && toDouble(w[4], v))
        s = Signal::constant(v);
    else if (!open && w.size() >= 7 && w[4] == "ramp") {
        Signal r;
        const std::string err = rampArgs(w, now, r);
        if (!err.empty())
            return err;
        s = r;
    } else
        return "ERR usage: set <addr> ain <ch> <value> | ain <ch> ramp ... | ain-open <ch>";
    return "OK";
}

std::string setDin(Module &m, const Words &w, Millis now)
{
    long n = 0;
    if (m.info().din == 0)
        return "ERR module has no digital inputs";
    if (!bitsArg(w, m.dinMask(), n))
        return "ERR bad digital input value";
    m.setDin(static_cast<uint32_t>(n), now);
    return "OK";
}

std::string setDout(Module &m, const Words &w, Millis)
{
    long n = 0;
    if (m.info().dout == 0)
        return "ERR module has no digital outputs";
    if (!bitsArg(w, m.doutMask(), n))
        return "ERR bad digital output value";
    m.dout = static_cast<uint32_t>(n);
    return "OK";
}

std::string setAout(Module &m, const Words &w, Millis)
{
    long ch = -1;
    double v = 0;
    if (!channelArg(w, m.info().aout, ch) || w.size() != 5 || !toDouble(w[4], v))
        return "ERR usage: set <addr> aout <ch> <value>";
    m.aout[static_cast<size_t>(ch)] = v;
    return "OK";
}

std::string setCounter(Module &m, const Words &w, Millis now)
{
    long ch = -1, n = 0;
    if (!channelArg(w, m.info().din, ch) || w.size() != 5 || !toLong(w[4], n) || n < 0 ||
        n >= static_cast<long>(COUNTER_MODULO))
        return "ERR usage: set <addr> counter <ch> <0..1048575>";
    m.setCounter(static_cast<int>(ch), static_cast<uint32_t>(n), now);
    return "OK";
}

std::string setStatus(Module &m, const Words &w, Millis now)
{
    long n = 0;
    if (w.size() != 4 || !toLong(w[3], n) || n < 0 || n > 255)
        return "ERR usage: set <addr> status <0..255>";
    m.status = static_cast<uint8_t>(n);
    // Without the watchdog bit the module is out of its expired state, as
    // after ~AA1: writes accepted again, the watchdog restarted.
    if (m.wdExpired && !(m.status & STATUS_WATCHDOG)) {
        m.wdExpired = false;
        m.kickWatchdog(now);
    }
    return "OK";
}

std::string setChecksum(Module &m, const Words &w, Millis)
{
    if (w.size() != 4 || (w[3] != "0" && w[3] != "1"))
        return "ERR usage: set <addr> checksum 0|1";
    m.checksum = w[3] == "1";
    return "OK";
}

std::string setFormat(Module &m, const Words &w, Millis)
{
    if (w.size() != 4 || (w[3] != "decimal" && w[3] != "hex"))
        return "ERR usage: set <addr> format decimal|hex";
    m.hex = w[3] == "hex";
    return "OK";
}

// set <addr> baud <n>|line: a speed of its own, or the line's (0).
std::string setBaud(Module &m, const Words &w, Millis)
{
    long n = 0;
    if (w.size() == 4 && w[3] == "line")
        m.baud = 0;
    else if (w.size() == 4 && toLong(w[3], n) && n >= 50 && n <= 4000000)
        m.baud = static_cast<int>(n);
    else
        return "ERR usage: set <addr> baud <n>|line";
    return "OK";
}

// set <addr> turnaround <ms>|line: a turnaround of its own, or the line's (-1).
std::string setTurnaround(Module &m, const Words &w, Millis)
{
    double v = 0;
    if (w.size() == 4 && w[3] == "line")
        m.turnaroundMs = -1;
    else if (w.size() == 4 && toDouble(w[3], v) && v >= 0)
        m.turnaroundMs = v;
    else
        return "ERR usage: set <addr> turnaround <ms>|line";
    return "OK";
}

std::string setWatchdog(Module &m, const Words &w, Millis now)
{
    long e = 0, n = 0;
    if (w.size() != 5 || !toLong(w[3], e) || (e != 0 && e != 1) || !toLong(w[4], n) || n < 0 || n > 255)
        return "ERR usage: set <addr> watchdog <0|1> <0..255>";
    m.wdEnabled = e == 1;
    m.wdValue = static_cast<int>(n);
    m.kickWatchdog(now);
    return "OK";
}

struct Setting {
    const char *what;
    std::string (*set)(Module &m, const Words &w, Millis now);
};
const Setting SETTINGS[] = {
    {"ain", setAin},
    {"ain-open", setAin},
    {"din", setDin},
    {"dout", setDout},
    {"aout", setAout},
    {"counter", setCounter},
    {"status", setStatus},
    {"checksum", setChecksum},
    {"format", setFormat},
    {"baud", setBaud},
    {"turnaround", setTurnaround},
    {"watchdog", setWatchdog},
};

} // namespace

std::string Simulator::controlSet(const std::vector<std::string> &w, Millis now)
{
    if (w.size() >= 4 && w[1] == "line")
        return controlSetLine(w, now);
    if (w.size() < 3)
        return "ERR usage: set <addr> <what> ...";
    Module *m = moduleRef(w[1]);
    if (!m)
        return "ERR no module " + w[1];
    for (const Setting &s : SETTINGS)
        if (w[2] == s.what)
            return s.set(*m, w, now);
    return "ERR unknown: set " + w[2];
}

std::string Simulator::controlGet(const std::vector<std::string> &w, Millis now)
{
    if (w.size() < 3)
        return "ERR usage: get <addr> <what> ...";
    Module *m = moduleRef(w[1]);
    if (!m)
        return "ERR no module " + w[1];
    const ModelInfo &info = m->info();
    const std::string &what = w[2];
    long ch = -1;
    auto channel = [&](int count) { return w.size() == 4 && channelArg(w, count, ch); };

    if (what == "dout" && w.size() == 3) {
        if (info.dout == 0)
            return "ERR module has no digital outputs";
        return "OK " + hexDigits(m->dout, info.doutDigits);
    }
    if (what == "din" && w.size() == 3) {
        if (info.din == 0)
            return "ERR module has no digital inputs";
        return "OK " + hexDigits(m->din, (info.din + 3) / 4);
    }
    if (what == "aout") {
        if (!channel(info.aout))
            return "ERR bad analog output channel";
        return "OK " + fixed3(m->aout[static_cast<size_t>(ch)]);
    }
    if (what == "ain") {
        if (!channel(info.ain))
            return "ERR bad analog input channel";
        const Signal &s = m->ain[static_cast<size_t>(ch)];
        if (s.isOpen())
            return std::string("OK open ") + (m->hex ? OPEN_HEX : OPEN_DECIMAL);
        const double v = s.at(now);
        return "OK " + fixed3(v) + " " + (m->hex ? hexField(v, m->fullScale) : decimalField(v));
    }
    if (what == "counter") {
        if (!channel(info.din))
            return "ERR bad counter channel";
        return "OK " + std::to_string(m->counter(static_cast<int>(ch), now));
    }
    if (what == "status" && w.size() == 3)
        return "OK " + hex2(m->status);
    if (what == "watchdog" && w.size() == 3)
        return std::string("OK ") + (m->wdEnabled ? "1" : "0") + " " + std::to_string(m->wdValue) + " " +
               (m->wdExpired ? "1" : "0");
    return "ERR unknown: get " + what;
}

} // namespace vsim
