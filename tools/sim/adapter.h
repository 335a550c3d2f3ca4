// A USB serial adapter between the line and the host.  Its chip does not
// hand each byte to the computer as it comes off the wire: it collects them
// and sends them in one USB packet when its buffer is full or when its
// latency timer runs out, and the operating system delivers the packet a
// little later still.  So what the line carries reaches the host in bursts,
// up to the timer's period (16 ms by default on the common chips) and the
// delivery jitter after it was on the wire.  What the host sends goes to the
// line at once; the adapter delays nothing on the wire.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "plant.h"

namespace vsim {

class Adapter {
public:
    // The bytes a packet carries: 64 less the chip's two status bytes.
    static constexpr size_t PACKET = 62;
    static constexpr double MAX_LATENCY_MS = 255;
    static constexpr double MAX_JITTER_MS = 50;

    explicit Adapter(uint64_t seed) : rng_(seed) {}

    // The latency timer's period; 0 is no adapter (every byte reaches the
    // host as it finishes on the wire, and nothing passes through here).  A
    // change sends what the buffer holds at `now` and restarts the timer.
    void setLatency(double ms, Millis now);
    // The operating system's delivery: each burst 0 to `ms` later.
    void setJitter(double ms) { jitterMs_ = ms; }
    double latency() const { return latencyMs_; }
    double jitter() const { return jitterMs_; }
    bool on() const { return latencyMs_ > 0; }

    // A byte that finished on the wire at `due` (none earlier than the one
    // before it).
    void arrive(char byte, Millis due);
    // The timer runs out up to `now`: what the buffer holds goes.
    void expire(Millis now);
    // The bursts that have reached the host by `now`, in order.
    std::vector<std::string> take(Millis now);

    // Bytes in the buffer, or bursts on their way to the host.
    bool holding() const { return !buffer_.empty() || !sent_.empty(); }
    // When the first burst on its way reaches the host.
    std::optional<Millis> firstDelivery() const;

private:
    Millis expiryAfter(Millis due) const;
    void send(Millis at);

    struct Burst {
        Millis delivery;
        std::string bytes;
    };
    double latencyMs_ = 0;
    double jitterMs_ = 0;
    Millis timerStart_ = 0; // the timer runs out every latencyMs_ from here
    std::string buffer_;
    Millis firstDue_ = 0; // when the buffer's first byte came
    std::deque<Burst> sent_;
    Millis lastDelivery_ = 0;
    std::mt19937_64 rng_; // the delivery jitter
};

} // namespace vsim
