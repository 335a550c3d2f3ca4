// What the monitor has heard, per module address, over weeks of listening:
// its exchanges, response times and faults in memory that does not grow with
// them, and the hints that link a fault at one address to the fault in the
// exchange after it.
#ifndef TOOLS_HOST_MONITOR_STATS_H
#define TOOLS_HOST_MONITOR_STATS_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "monitor_decode.h"
#include "run_stats.h"

namespace vhost::monitor {

constexpr int FAULT_KINDS = static_cast<int>(Fault::COUNT);
// The keys of exchanges without one address: broadcasts, and lines whose
// address is not known.
constexpr int BROADCAST = 256, NO_ADDRESS = -1;

struct AddressStats {
    long exchanges = 0;
    long faults[FAULT_KINDS] = {};
    TimeStats replyMs;       // the reply's end after the command's end
    std::string instruction; // as last named
    std::string values;      // as last decoded
    int64_t heardUs = -1;    // the end of the last reply from it (-1: none yet)
    long faulted() const;    // exchanges with a fault
};

class MonitorStats {
public:
    void add(const Exchange &x);
    const std::map<int, AddressStats> &addresses() const { return by_; }
    long exchanges() const { return exchanges_; }
    long faults(Fault f) const { return faults_[static_cast<int>(f)]; }
    // The line of the last exchange with a fault ("" while none had one).
    const std::string &lastFault() const { return lastFault_; }
    // What the faults that follow one another usually mean, with the figures.
    std::vector<std::string> hints() const;
    // The lines printed at the end: the exchanges, per address its figures,
    // the faults by kind, the hints.
    std::vector<std::string> summary() const;

private:
    // Two exchanges one after the other: the first at `from`, the second at
    // `to` (an ordered pair of keys).
    struct Link {
        long lateLanding = 0;  // no reply at `from`, then a late, unasked or wrong-length reply
        unsigned kinds = 0;    // those faults of `to`'s seen, bit by Fault
        long secondMaster = 0; // `to`'s command came while `from`'s reply was due
    };
    void landed(int from, int to, unsigned kinds);

    static constexpr int NO_PENDING = -2;
    std::map<int, AddressStats> by_;
    std::map<std::pair<int, int>, Link> links_;
    long exchanges_ = 0;
    long faults_[FAULT_KINDS] = {};
    std::string lastFault_;
    int prevKey_ = NO_ADDRESS;
    // The exchange after a no-reply took a reply of its own length: the
    // pair, while the exchange after it may show that reply's own unasked.
    std::pair<int, int> pending_{NO_PENDING, NO_PENDING};
    bool prevNoReply_ = false, havePrev_ = false;
};

// "01h", "**", "--".
std::string keyText(int key);
// "reply median 4.1 ms, p99 5.0 ms, max 30.0 ms", or "no reply timed".
std::string responseText(const TimeStats &t);
// "no reply x 3, late reply x 1", or "no faults".
std::string faultCounts(const long (&faults)[FAULT_KINDS]);

} // namespace vhost::monitor

#endif
