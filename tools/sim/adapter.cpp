#include "adapter.h"

#include <algorithm>
#include <cmath>

namespace vsim {

namespace {
// Times that differ by less than this are the same moment.
constexpr double SAME = 1e-6;
} // namespace

// The chip's latency timer restarts whenever it sends a packet and runs out
// one period later; with nothing to send it still sends a packet of its
// status bytes then, and starts again.  So the timer runs free, every
// period from the last packet that a full buffer sent (or from the start,
// or from the last change of the period), and a byte waits for the first
// expiry at or after the moment it came off the wire.
Millis Adapter::expiryAfter(Millis due) const
{
    const double periods = std::max(1.0, std::ceil((due - timerStart_) / latencyMs_ - SAME / latencyMs_));
    return timerStart_ + periods * latencyMs_;
}

// One packet leaves the chip at `at`; the host has it after the jitter, and
// never before the packet ahead of it.
void Adapter::send(Millis at)
{
    double jitter = 0;
    if (jitterMs_ > 0)
        jitter = std::uniform_real_distribution<double>(0.0, jitterMs_)(rng_);
    lastDelivery_ = std::max(lastDelivery_, at + jitter);
    sent_.push_back({lastDelivery_, std::move(buffer_)});
    buffer_.clear();
    timerStart_ = at;
}

void Adapter::setLatency(double ms, Millis now)
{
    if (ms == latencyMs_)
        return;
    if (!buffer_.empty())
        send(now);
    latencyMs_ = ms;
    timerStart_ = now;
}

void Adapter::arrive(char byte, Millis due)
{
    if (!buffer_.empty() && expiryAfter(firstDue_) < due - SAME)
        send(expiryAfter(firstDue_));
    if (buffer_.empty())
        firstDue_ = due;
    buffer_ += byte;
    if (buffer_.size() >= PACKET)
        send(due);
}

void Adapter::expire(Millis now)
{
    if (!buffer_.empty() && on() && expiryAfter(firstDue_) <= now + SAME)
        send(expiryAfter(firstDue_));
}

std::vector<std::string> Adapter::take(Millis now)
{
    std::vector<std::string> bursts;
    while (!sent_.empty() && sent_.front().delivery <= now) {
        bursts.push_back(std::move(sent_.front().bytes));
        sent_.pop_front();
    }
    return bursts;
}

std::optional<Millis> Adapter::firstDelivery() const
{
    if (sent_.empty())
        return std::nullopt;
    return sent_.front().delivery;
}

} // namespace vsim
