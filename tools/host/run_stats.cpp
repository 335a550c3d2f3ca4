// The statistics of a ladder run: the streaming time figures and what the
// calls of each scan add to the counts.
#include "run_stats.h"

#include <algorithm>
#include <cmath>

#include "errors.h"

namespace vhost {

namespace {

// The histogram's bins, by a time in whole microseconds u: u itself below
// 2 * SUB; above, an octave [2^e, 2^(e+1)) has SUB bins of 2^(e - SUB_BITS)
// microseconds each.  Times from 2^TOP_BITS microseconds on share the last
// bin (the maximum is kept exactly anyway).
constexpr unsigned SUB_BITS = 11;
constexpr uint64_t SUB = uint64_t{1} << SUB_BITS;
constexpr unsigned TOP_BITS = 26;
constexpr size_t BINS = (TOP_BITS - SUB_BITS + 1) * SUB;
constexpr size_t GROUP = 256; // bins per entry of the running totals
static_assert(BINS % GROUP == 0, "the totals cover whole groups of bins");

uint64_t microseconds(double ms)
{
    if (!(ms > 0))
        return 0;
    const double top = static_cast<double>((uint64_t{1} << TOP_BITS) - 1);
    return static_cast<uint64_t>(std::min(top, std::nearbyint(ms * 1000.0)));
}

size_t binOf(uint64_t us)
{
    if (us < 2 * SUB)
        return static_cast<size_t>(us);
    unsigned e = SUB_BITS + 1;
    while (us >> (e + 1))
        ++e;
    unsigned shift = e - SUB_BITS;
    return static_cast<size_t>((e - SUB_BITS) * SUB + (us >> shift));
}

// The middle of a bin, in milliseconds.
double middleOf(size_t bin)
{
    if (bin < 2 * SUB)
        return static_cast<double>(bin) / 1000.0;
    uint64_t octave = bin / SUB; // 2 for the first one above the exact range
    unsigned shift = static_cast<unsigned>(octave - 1);
    uint64_t low = (bin - (octave - 1) * SUB) << shift;
    uint64_t width = uint64_t{1} << shift;
    return (static_cast<double>(low) + static_cast<double>(width - 1) / 2.0) / 1000.0;
}

} // namespace

// ---------------------------------------------------------------------------
void TimeStats::add(double ms)
{
    if (count_ == 0) {
        // All the room a stream will have, taken at its start.
        sorted_.assign(EXACT_KEPT, 0.0);
        bins_.assign(BINS, 0);
        groups_.assign(BINS / GROUP, 0);
    }
    min_ = count_ == 0 ? ms : std::min(min_, ms);
    max_ = count_ == 0 ? ms : std::max(max_, ms);
    ++count_;
    sum_ += ms;
    if (count_ <= EXACT_KEPT) {
        auto end = sorted_.begin() + static_cast<std::ptrdiff_t>(count_ - 1);
        auto at = std::upper_bound(sorted_.begin(), end, ms);
        std::move_backward(at, end, end + 1);
        *at = ms;
    }
    size_t b = binOf(microseconds(ms));
    ++bins_[b];
    ++groups_[b / GROUP];
}

double TimeStats::kth(uint64_t k) const
{
    if (count_ <= EXACT_KEPT)
        return sorted_[static_cast<size_t>(k)];
    if (k == 0)
        return min_;
    if (k + 1 >= count_)
        return max_;
    uint64_t below = 0;
    size_t g = 0;
    while (below + groups_[g] <= k)
        below += groups_[g++];
    size_t b = g * GROUP;
    while (below + bins_[b] <= k)
        below += bins_[b++];
    return std::min(max_, std::max(min_, middleOf(b)));
}

double TimeStats::median() const
{
    if (count_ == 0)
        return 0;
    uint64_t n = count_;
    return n % 2 ? kth(n / 2) : (kth(n / 2 - 1) + kth(n / 2)) / 2;
}

double TimeStats::percentile(double p) const
{
    if (count_ == 0)
        return 0;
    const double rank = std::ceil(std::min(100.0, std::max(0.0, p)) / 100.0 * static_cast<double>(count_));
    return kth(std::max<uint64_t>(1, static_cast<uint64_t>(rank)) - 1);
}

// ---------------------------------------------------------------------------
void Apart::add(CallEnd end, unsigned code, unsigned flagged)
{
    if (end == CallEnd::LadderError)
        ++ladderErrors[code];
    else if (end == CallEnd::InputFault) {
        ++inputFaults;
        channels |= flagged;
    }
}

long Apart::ladderErrorCount() const
{
    long n = 0;
    for (const auto &kv : ladderErrors)
        n += kv.second;
    return n;
}

void RunStats::call(size_t rung, int address, long code, double ms, ScanTally &tally, CallEnd end, unsigned flagged)
{
    unsigned c = static_cast<unsigned>(code);
    if (code >= 0) {
        ++codes[c];
        ++rungCodes[rung][c];
    }
    if (code >= 0 && end != CallEnd::Line) {
        apart.add(end, c, flagged);
        rungApart[rung].add(end, c, flagged);
        if (address >= 0)
            modules[address].apart.add(end, c, flagged);
    }
    if (end == CallEnd::LadderError)
        return; // nothing went on the wire: no exchange, no time, the line's figures as they were
    ModuleStats *m = nullptr;
    if (address >= 0) {
        m = &modules[address];
        ++m->exchanges;
        m->ms.add(ms);
    }
    if (code < 0)
        return;
    if (c == EC_WRITE_FAILED)
        ++tally.writesRefused;
    else
        ++tally.lineUsed;
    if (c == EC_TIMEOUT && address >= 0 &&
        std::find(tally.timedOut.begin(), tally.timedOut.end(), address) == tally.timedOut.end())
        tally.timedOut.push_back(address);
    if (m) {
        // An input fault is a reply the line delivered: it ends a failure run.
        if (end == CallEnd::Line)
            ++m->codes[c];
        m->failing = c && end == CallEnd::Line ? m->failing + 1 : 0;
        m->longestFailing = std::max(m->longestFailing, m->failing);
    }
}

bool RunStats::endScan(long number, double ms, const ScanTally &tally)
{
    ++scans;
    scanMs.add(ms);
    if (tally.writesRefused > 0 && tally.lineUsed == 0 && portGoneScan == 0)
        portGoneScan = number;
    if (!pointsAtTheLine(tally.timedOut))
        return false;
    ++lineWideScans;
    lineWideLast = tally.timedOut;
    lineWideLastScan = number;
    return true;
}

// Several modules timing out in one scan point at the line, unless none of
// them has ever answered while another module has: then they are modules
// that are not there, or not at this address, speed or checksum setting.
bool RunStats::pointsAtTheLine(const std::vector<int> &timedOut) const
{
    if (timedOut.size() < 2)
        return false;
    if (!anyAnswered())
        return true;
    for (int a : timedOut) {
        auto it = modules.find(a);
        if (it != modules.end() && it->second.answered())
            return true;
    }
    return false;
}

bool RunStats::anyAnswered() const
{
    for (const auto &kv : modules)
        if (kv.second.answered())
            return true;
    return false;
}

bool RunStats::anyFailure() const
{
    for (auto &kv : codes)
        if (kv.first != 0 && kv.second > 0)
            return true;
    return false;
}

} // namespace vhost
