// Finding the line's settings from what is heard: whether its commands
// carry checksums (the last two characters before the carriage return are
// the checksum of the rest, command after command), and its speed (at the
// right speed a listener hears whole commands of the catalogue answered in
// replies of their length; at a wrong one it hears garbage, and a line that
// takes any speed, a pseudo-terminal, carries the characters no faster and
// not much slower than one character time apart).
#ifndef TOOLS_HOST_MONITOR_AUTO_H
#define TOOLS_HOST_MONITOR_AUTO_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "capture.h"
#include "monitor_decode.h"

namespace vhost::monitor {

// The line speeds in the order they are tried: the usual ones first.
std::vector<int> speedsToTry();

// The speed the characters came at within lines, in bit/s (ten bits a
// character): the characters of each read after a line's first over the
// time since the read before.  A read that brings the whole line tells
// nothing.
class RateEstimate {
public:
    void feed(const capture::Chunk &c);
    // Below 0: too few characters timed to tell.
    double bitsPerSecond() const;
    // The line speed nearest the estimate, 0 when there is none.
    int nearestSpeed() const;

private:
    struct Open {
        int64_t lastUs = 0; // the line's last read
        bool open = false;
    };
    Open open_[3];
    long chars_ = 0;
    int64_t us_ = 0;
};

// Whether a speed (and checksum setting) decodes what it heard cleanly.
class Trial {
public:
    // `checksum` unset: found from the commands.
    Trial(int baud, std::optional<bool> checksum);
    void feed(const capture::Chunk &c);
    void idle(int64_t nowUs);
    enum Verdict { UNDECIDED, CLEAN, UNCLEAN };
    // `over`: the time for the trial is up, and an undecided trial is
    // decided now.
    Verdict verdict(bool over) const;
    // The checksum setting found (or given); unset while not found.
    std::optional<bool> checksum() const;
    const std::vector<capture::Chunk> &heard() const { return heard_; }
    const RateEstimate &rate() const { return rate_; }

private:
    struct Side {
        Decoder d;
        long clean = 0, dirty = 0, run = 0; // the run of clean exchanges up to now
    };
    void count(Side &s, bool vote);

    int baud_;
    std::optional<bool> given_;
    Side sides_[2]; // checksum off, on
    long withSum_ = 0, without_ = 0;
    RateEstimate rate_;
    std::vector<capture::Chunk> heard_;
    size_t heardBytes_ = 0;
};

// What listening found: the port open at the line's speed (`fd` below 0:
// nothing found, `why` says so), the settings, and what was heard while
// finding them (to be decoded as the rest is).
struct Found {
    enum What { FOUND, NOT_OPENED, GONE, STOPPED, NO_SPEED } what = FOUND;
    int fd = -1;
    Settings settings;
    std::vector<capture::Chunk> heard;
    int64_t startUs = 0; // the listening's clock when `heard` began
    std::string why;
};
// Listens on `device` at each speed in turn (`baud` 0), or at `baud`, until
// what is heard decodes cleanly, with checksums (`checksum`) or without, or
// as found; `nowUs` is the listening's clock.  Says on stderr what it found.
Found findSettings(const std::string &device, int baud, std::optional<bool> checksum, int64_t (*nowUs)());

} // namespace vhost::monitor

#endif
