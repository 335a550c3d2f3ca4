// The texts a ladder run's statistics are shown with: the summary after the
// run, the per-module lines (also the live view's shorter form), the spread
// of a set of times and what several modules timing out in one scan means.
#ifndef TOOLS_HOST_SUMMARY_H
#define TOOLS_HOST_SUMMARY_H

#include <string>
#include <vector>

#include "run_stats.h"

namespace vhost {

// "5.1 ms": a time as the tools show it.
std::string fmtMs(double ms);

// "min 5.0 ms, median 5.1 ms, max 40.9 ms", or "none".
std::string timeSpread(const TimeStats &t);

// "several modules timed out in one scan (01h, 04h): that looks line-wide
// ...": what several modules timing out in one scan points at.
std::string lineWideHint(const std::vector<int> &addresses);

// The summary of a run whose rungs call the instructions named in `rungs`;
// `gateClosed`: the I/O gate kept every instruction off the line.
std::string runSummary(const RunStats &st, const std::vector<std::string> &rungs, bool gateClosed);

// The per-module lines of the summary, one per address; compact: the live
// view's shorter form ("01h  20 exch  0 OK x18 1005 TIMEOUT x2
// 5.0/5.1/40.9 ms  run 2").
std::string moduleLines(const RunStats &st, bool compact = false);

// "ladder errors: 3 (1016 BAD_CHANNEL x 3)": the calls refused before
// anything was sent; "input faults: 20 (open input, channel 2)": those
// answered with inputs without a value.
std::string ladderErrorsText(const Apart &a);
std::string inputFaultsText(const Apart &a);

// The summary's lines of the run's ladder errors and input faults, with the
// rungs that had them ("\nladder errors: 3 (...) in R4 I7024: ..."), or "".
std::string apartLines(const RunStats &st, const std::vector<std::string> &rungs);

// "\n03h, 04h never answered while other modules did: ..." or "".
std::string neverHeardLine(const RunStats &st);

} // namespace vhost

#endif
