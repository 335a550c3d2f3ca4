// The simulator's control channel: the text commands a test or an engineer
// types to look at the line and change it while it runs (ping, stats, get,
// set, fault, module, save, quit), and the table of the keys `set` takes.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <sstream>

#include "answers.h"
#include "numbers.h"
#include "sim.h"
#include "wire_format.h"

namespace vsim {

namespace {

std::vector<std::string> words(const std::string &line)
{
    std::istringstream is(line);
    std::vector<std::string> w;
    for (std::string s; is >> s;)
        w.push_back(s);
    return w;
}

} // namespace

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
    if (c == "save")
        return w.size() == 2 ? save(w[1], now) : "ERR usage: save <file>";
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

// save FILE: the line as it is now, for a simulator started with
// --plant FILE to give back (the speed and turnaround the line has now).
std::string Simulator::save(const std::string &path, Millis now) const
{
    Plant p = plant_;
    p.line.baud = baud_;
    p.line.turnaroundMs = turnaroundMs_;
    p.line.adapterLatencyMs = adapter_.latency();
    p.line.adapterJitterMs = adapter_.jitter();
    const std::string text = plantState(p, now, {"saved by veldran-sim at " + fixed3(now) + " ms"});
    std::FILE *f = std::fopen(path.c_str(), "wb");
    const bool written = f && std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (!f || std::fclose(f) != 0 || !written)
        return "ERR cannot write " + path + ": " + std::strerror(errno);
    const size_t n = p.modules.size();
    return "OK saved " + std::to_string(n) + (n == 1 ? " module to " : " modules to ") + path;
}

std::string Simulator::statsReply() const
{
    std::ostringstream os;
    os << "OK commands=" << stats_.commands << " replies=" << stats_.replies << " broadcasts=" << stats_.broadcasts
       << " refused=" << stats_.refused << " badsum=" << stats_.badChecksum << " unaddressed=" << stats_.unaddressed
       << " lost=" << stats_.lost << " faults=" << stats_.faults << " control=" << stats_.control
       << " collisions=" << stats_.collisions << " wrongbaud=" << stats_.wrongBaud << " bursts=" << stats_.bursts
       << " tapwritten=" << stats_.tapWritten << " baud=" << baud_ << " turnaround=" << turnaroundMs_
       << " adapter_latency_ms=" << adapter_.latency() << " adapter_jitter_ms=" << adapter_.jitter();
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
