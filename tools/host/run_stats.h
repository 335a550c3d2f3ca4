// The statistics of a ladder run, in memory that stays the same however long
// the run goes on: the scans' times, the error codes per rung, and per module
// address its exchanges, codes, response times and longest failure run.
#ifndef TOOLS_HOST_RUN_STATS_H
#define TOOLS_HOST_RUN_STATS_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "errors.h"
#include "veldran.h"

namespace vhost {

// A stream of times in milliseconds: their count, sum and extremes exactly,
// and their median and other percentiles.  The first EXACT_KEPT times are
// kept (in order), so a run that short has its exact figures; every time
// also goes into a histogram of fixed bins, whole microseconds below 4.096
// ms and 1/2048 of the value above (finer than the 0.1 ms the figures are
// shown with up to a quarter of a second), up to 67 s, and beyond
// EXACT_KEPT times a median or percentile is a bin's middle.  The room is taken with the first time; what a figure
// costs to read does not grow with the count.
class TimeStats {
public:
    void add(double ms);
    uint64_t count() const { return count_; }
    bool empty() const { return count_ == 0; }
    double sum() const { return sum_; }
    double min() const { return min_; }
    double max() const { return max_; }
    // The middle time, or the mean of the middle two of an even count; 0
    // when there is none.
    double median() const;
    // The time that `p` percent of the times are at or below (the nearest
    // rank: the 99th of 200 times is the 198th smallest); 0 when there is
    // none.
    double percentile(double p) const;

    static constexpr size_t EXACT_KEPT = 4096;

private:
    // The k-th smallest time (from 0): exact while the times are kept.
    double kth(uint64_t k) const;

    uint64_t count_ = 0;
    double sum_ = 0, min_ = 0, max_ = 0;
    std::vector<double> sorted_;   // the first EXACT_KEPT times, in order
    std::vector<uint64_t> bins_;   // the histogram
    std::vector<uint64_t> groups_; // its bins' counts added up by GROUP
};

// The calls that tell nothing of the line, counted apart from it: those the
// module refused before it sent anything (an operand out of range: the
// ladder's mistake), and those answered with inputs that have no value (an
// open thermocouple, its channels flagged in "ErrChan:").
struct Apart {
    std::map<unsigned, long> ladderErrors; // by code
    long inputFaults = 0;
    unsigned channels = 0; // every channel an input fault flagged, bit i for channel i

    void add(CallEnd end, unsigned code, unsigned flagged);
    long ladderErrorCount() const;
    bool empty() const { return ladderErrors.empty() && inputFaults == 0; }
};

// What one module address saw over a run: the instructions addressed to it
// with a true rung that went on the wire (one exchange each, as far as the
// statistics go), their "ErrCode:" values, their response times (the
// instruction's time) and the longest run of consecutive line failures; an
// exchange with an input fault is answered (not a failure), and is counted
// in `apart` instead of `codes`, as are the refusals that sent nothing.
struct ModuleStats {
    long exchanges = 0;
    std::map<unsigned, long> codes; // of the exchanges with the line's outcome
    TimeStats ms;
    long failing = 0; // consecutive failures up to now
    long longestFailing = 0;
    Apart apart;

    bool answered() const { return codes.count(0) > 0 || apart.inputFaults > 0; }
    // Every exchange timed out: nothing ever came from it.
    bool neverHeard() const
    {
        return exchanges > 0 && apart.inputFaults == 0 && codes.size() == 1 && codes.count(EC_TIMEOUT) > 0;
    }
};

// What the calls of one scan said, for what the scan as a whole points at.
struct ScanTally {
    long writesRefused = 0; // exchanges whose line the serial library refused
    long lineUsed = 0;      // exchanges that went on the line
    std::vector<int> timedOut;
};

struct RunStats {
    long scans = 0;
    TimeStats scanMs;
    std::map<unsigned, long> codes;                  // "ErrCode:" values of true rungs
    std::vector<std::map<unsigned, long>> rungCodes; // the same, per rung
    Apart apart;                                     // ladder errors and input faults of the run
    std::vector<Apart> rungApart;                    // the same, per rung
    std::map<int, ModuleStats> modules;              // by address
    // The scan in which every exchange failed with 1010 (the serial library
    // took no line: the port is gone); 0 while none did.
    long portGoneScan = 0;
    // Scans in which more than one module timed out (of which one at least
    // had answered before, or no module had), and the modules of the last
    // of them.
    long lineWideScans = 0;
    std::vector<int> lineWideLast;
    long lineWideLastScan = 0;

    // A true rung's call with the I/O gate open: `address` -1 for an
    // instruction without "Addr:", `code` -1 for one without "ErrCode:";
    // `end` where the code says it ended, `flagged` the channels of an
    // input fault.
    void call(size_t rung, int address, long code, double ms, ScanTally &tally, CallEnd end = CallEnd::Line,
              unsigned flagged = 0);
    // The end of scan `number`; true when several modules timed out in it
    // and that points at the line.
    bool endScan(long number, double ms, const ScanTally &tally);
    // Whether the modules that timed out in one scan point at the line.
    bool pointsAtTheLine(const std::vector<int> &timedOut) const;
    // Any true rung ended a scan with a non-zero code.
    bool anyFailure() const;
    // Any module answered an exchange.
    bool anyAnswered() const;
};

} // namespace vhost

#endif
