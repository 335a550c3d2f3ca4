// The bench from what a line did: a plant file for veldran-sim made from the
// exchanges the monitor decoded, so that the simulator answers as the line
// did.  Per address it keeps the models the heard exchanges leave (the
// instructions that send such commands, the replies' shapes, a name read
// with $AAM), the data format, the last input values, outputs written and
// counters, the status byte and host watchdog, and the module's own
// turnaround (the median from a command's end to its reply's start); the
// faults heard become comments with their times and the simulator's
// control command that makes each one again.
#ifndef TOOLS_HOST_MONITOR_PLANT_H
#define TOOLS_HOST_MONITOR_PLANT_H

#include <map>
#include <string>
#include <vector>

#include "monitor_decode.h"
#include "plant.h"

namespace vhost::monitor {

// Times in tenths of a millisecond, counted by value: their median in room
// that grows with the values seen, not with their count.
class Tenths {
public:
    void add(double ms);
    bool empty() const { return count_ == 0; }
    long count() const { return count_; }
    double median() const;

private:
    std::map<long, long> n_;
    long count_ = 0;
};

class Bench {
public:
    // `hostSide`: the exchanges come from a capture of the host's serial
    // library (tx and rx), whose command times are when the bytes were
    // handed over, not when they had crossed the wire.
    Bench(Settings s, bool hostSide) : settings_(s), hostSide_(hostSide) {}
    void add(const Exchange &x);
    // The plant file; `modules` how many modules it has, `left` what could
    // not go in (an address whose model no exchange told).
    std::string plantFile(int &modules, std::vector<std::string> &left) const;

    // The most faults listed one by one; the rest are counted.
    static constexpr size_t FAULT_NOTES = 200;

private:
    struct Heard {
        std::vector<int> models; // the model numbers still possible
        bool told = false;       // some exchange narrowed them
        vsim::Module m;          // what the replies and commands said, by channel
        std::map<int, vsim::Signal> ain;
        std::map<int, double> aout;
        std::map<int, uint32_t> counters;
        long digital = -1;     // the last digital read's word
        bool readLast = false; // it came after the last digital write
        int typeCode = -1;     // read with $AA2 (-1: not heard)
        bool hexSeen = false, openSeen = false;
        Tenths turnaround;
    };
    void narrowTo(Heard &h, const std::vector<int> &models);
    void models(Heard &h, const Exchange &x, const std::string &command, const std::string &reply);
    void values(Heard &h, const std::string &command, const std::string &reply);
    void analog(Heard &h, const std::string &data);
    void timing(Heard &h, const Exchange &x);
    void fault(const Exchange &x, Fault f);
    bool module(const Heard &h, int address, vsim::Module &m, std::string &note) const;

    Settings settings_;
    bool hostSide_;
    std::map<int, Heard> heard_;
    Tenths turnaround_;
    std::vector<std::string> faults_;
    long moreFaults_ = 0;
};

} // namespace vhost::monitor

#endif
