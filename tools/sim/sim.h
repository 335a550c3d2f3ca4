// The simulator without its I/O: the bytes of the line go in with the time
// they arrived, the reply bytes come out with the time they are due, and the
// control channel's text lines are answered.  The event loop in main.cpp
// moves the bytes; tests drive it with their own clock.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "adapter.h"
#include "answers.h"
#include "faults.h"
#include "plant.h"

namespace vsim {

// The log: one line per event, stamped with milliseconds since the start.
class Logger {
public:
    explicit Logger(std::FILE *f = nullptr) : f_(f) {}
    void event(Millis now, const std::string &what);

private:
    std::FILE *f_;
};

struct Stats {
    uint64_t commands = 0;    // lines received
    uint64_t replies = 0;     // replies sent
    uint64_t broadcasts = 0;  // ~** host OK
    uint64_t refused = 0;     // "?" replies, injected ones included
    uint64_t badChecksum = 0; // silent: missing or wrong checksum
    uint64_t unaddressed = 0; // silent: nobody has the address, or garbage
    uint64_t lost = 0;        // silent: the silence fault
    uint64_t faults = 0;      // faults that struck
    uint64_t control = 0;     // control commands
    uint64_t collisions = 0;  // two transmissions that overlapped on the line
    uint64_t wrongBaud = 0;   // silent: the module listens at another speed
    uint64_t bursts = 0;      // deliveries of the serial adapter to the host (none without one)
    uint64_t tapWritten = 0;  // bytes the tap's listener wrote (dropped: the tap has no transmitter)
};

class Simulator {
public:
    Simulator(Plant plant, uint64_t seed, Logger log = Logger());

    // The line's speed: the one the host set, or the one assumed until it has.
    void setBaud(int baud) { baud_ = baud; }
    // The host changed the line's speed (logged).
    void hostBaud(int baud, Millis now);
    void setTurnaround(double ms) { turnaroundMs_ = ms; }
    int baud() const { return baud_; }
    double turnaround() const { return turnaroundMs_; }
    // One character on the wire: a start bit, eight data bits, a stop bit.
    double charMs() const { return 10000.0 / baud_; }
    // The USB serial adapter between the line and the host: its latency
    // timer (0: none) and delivery jitter, in ms.
    void setAdapterLatency(double ms, Millis now) { adapter_.setLatency(ms, now); }
    void setAdapterJitter(double ms) { adapter_.setJitter(ms); }
    double adapterLatency() const { return adapter_.latency(); }
    double adapterJitter() const { return adapter_.jitter(); }

    // Line side.  What the line sends reaches the host when it is due:
    // when it has crossed the wire, or, through an adapter, when the burst
    // that carries it is delivered.
    void receive(std::string_view bytes, Millis now);
    bool hasOutput() const { return !out_.empty() || adapter_.holding(); }
    Millis nextDue() const;
    std::string takeDue(Millis now);

    // The listening tap: what a listen-only adapter on the wire hears, both
    // directions in the order they crossed, each character when it has
    // crossed; a collision as one garbled character (the host's own that met
    // a module's is not heard apart).  Nothing is kept until it is switched
    // on.
    void setTap(bool on) { tap_ = on; }
    std::string takeTap(Millis now);
    std::optional<Millis> nextTapDue() const;
    // What the tap's listener wrote: counted and logged, never on the line.
    void tapWritten(size_t bytes, Millis now);

    // Watchdogs: the next moment one of them may expire, and letting them.
    std::optional<Millis> nextDeadline() const;
    void tick(Millis now);

    // Control side: one reply line ("OK ..." or "ERR ...") per command line.
    std::string control(const std::string &line, Millis now);
    bool quitRequested() const { return quit_; }

    Plant &plant() { return plant_; }
    FaultSet &faults() { return faults_; }
    const Stats &stats() const { return stats_; }

private:
    void command(const std::string &line, Millis done, Millis now);
    void answerFrame(const Frame &f, Millis done, Millis now);
    Module *moduleRef(const std::string &ref);
    std::string moduleSummary(const Module &m) const;
    void send(const Module &m, const std::string &reply, const std::vector<Fault> &struck, Millis done, Millis now);
    void babble(const Module &m, const Fault &f, Millis done, Millis now);
    double turnaroundOf(const Module &m) const { return m.turnaroundMs >= 0 ? m.turnaroundMs : turnaroundMs_; }

    // One character on the line, from `start` to `due`, of transmission `tx`
    // (a reply or a babble of the module at `addr`).
    struct Out {
        Millis start;
        Millis due;
        char byte;
        uint64_t tx;
        int addr;
        bool tapped = false; // handed to the tap's queue
    };
    // Puts a module's transmission on the line: every character that overlaps
    // one of another transmission is garbled, both of them.  Returns the end.
    Millis transmit(std::vector<Out> chars, Millis now);
    // A host character from `start` to `end` against what the modules send;
    // whether it met any.
    bool hostChar(Millis start, Millis end, Millis now);
    // The modules' characters that have crossed by `now`, into the tap's queue.
    void tapCrossed(Millis now);
    bool garbleOverlaps(Millis start, Millis end, std::vector<uint64_t> &met, Millis now,
                        const std::function<std::string(const Out &)> &collision);
    char garbage();
    // The characters that have crossed the wire by `now`, taken off it.
    std::string offTheWire(Millis now);
    // Through an adapter: those characters into its buffer, and its timer
    // run to `now`.
    void intoAdapter(Millis now);
    std::string controlReply(const std::vector<std::string> &w, Millis now);
    std::string controlFault(const std::vector<std::string> &w);
    std::optional<std::string> controlModule(const std::vector<std::string> &w, Millis now);
    std::string statsReply() const;
    std::string save(const std::string &path, Millis now) const;
    std::string controlSet(const std::vector<std::string> &w, Millis now);
    std::string controlSetLine(const std::vector<std::string> &w, Millis now);
    std::string controlGet(const std::vector<std::string> &w, Millis now);

    Plant plant_;
    FaultSet faults_;
    Logger log_;
    Stats stats_;
    int baud_;
    double turnaroundMs_;
    std::string rx_;
    Millis rxFree_ = 0;            // when the last received character ended on the wire
    bool rxGarbled_ = false;       // the line being received met a module's transmission
    std::vector<uint64_t> rxHits_; // the transmissions it met
    std::deque<Out> out_;          // in the order of their due times
    uint64_t nextTx_ = 1;
    std::mt19937_64 lineRng_; // garbled characters
    Adapter adapter_;
    bool quit_ = false;
    struct Heard {
        Millis due;
        char byte;
    };
    bool tap_ = false;
    std::deque<Heard> hostHeard_;   // the host's characters, by the time they have crossed
    std::deque<Heard> moduleHeard_; // the modules' that have crossed, not yet taken
};

} // namespace vsim
