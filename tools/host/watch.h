// Watching a running line: the log of every scan (CSV), the live view that
// redraws one screen in place, and the trend plot of a log.
#ifndef TOOLS_HOST_WATCH_H
#define TOOLS_HOST_WATCH_H

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "exit_status.h"
#include "scan.h"

namespace vhost {

// "2026-12-08T07:46:27.123Z": the time now in UTC, to the millisecond.
std::string isoTimestamp();

// One row per scan: time, scan, scan_ms, then the runner's log columns.
// Each row is flushed as it is written, so a run that is killed loses at
// most the row it was writing.
class CsvLog {
public:
    ~CsvLog();
    // False, and why, when the file cannot be created or its header not
    // written (a full disk).
    bool open(const std::string &path, const Runner &runner, std::string &error);
    // False when the row could not be written; the log is closed then, and
    // the rows after it are not written.
    bool row(const Runner &runner, long number, double ms);

private:
    FILE *f_ = nullptr;
};

// The module's DEBUG traces of failures, kept apart from the echoes of good
// reads that would bury them: the text of every instruction call that holds
// a failure trace (" addr=N  ec=CODE", "InvalidChecksum: ...", the analog
// read's count trace), the reply it echoed included, line by line with the
// scan and the time; the last few for the live view, every one in the file
// of --trace (flushed line by line).
class FailureTraces {
public:
    ~FailureTraces();
    bool open(const std::string &path, std::string &error);
    // What the module printed during one instruction call in scan `scan`.
    void call(const std::string &text, long scan);
    // The last lines kept, "scan 12 07:53:12.345  addr=4  ec=1005".
    const std::vector<std::string> &recent() const { return recent_; }
    static constexpr size_t KEPT = 6;

private:
    FILE *f_ = nullptr;
    std::vector<std::string> recent_;
};

// The screen of the live view, redrawn in place with ANSI sequences.
class LiveView {
public:
    LiveView(FILE *out, int columns, int rows) : out_(out), cols_(columns < 40 ? 40 : columns), rows_(rows) {}
    void begin();
    // Draws the scan unless the last redraw was less than a fifth of a
    // second ago (`force` draws anyway); `moduleText` is what the module
    // printed since the last call.
    void scan(const Runner &runner, long number, double ms, const std::string &moduleText, bool force);
    // The failure traces shown below the module's last lines (none: null).
    void failures(const FailureTraces *traces) { failures_ = traces; }
    void end();
    // The screen's lines for a scan, with the sequences that mark changed
    // values; remembers the values as drawn.
    std::vector<std::string> frame(const Runner &runner, long number, double ms);

private:
    FILE *out_;
    int cols_, rows_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point last_;
    std::vector<std::vector<std::string>> shown_; // operand texts per rung, as last drawn
    std::vector<std::string> moduleSaid_;         // the module's last lines
    const FailureTraces *failures_ = nullptr;
};

// Turns a log into a trend image (PNG or SVG by the file's extension) with
// gnuplot: a panel per module address with its analog values (its digital
// words as bit lanes when it has none, the instructions' times when it has
// neither) and a panel of the scan time, over the seconds of the run; a
// value that was not read (rung false, exchange failed, input open) is a
// gap, and the scans where one of its rungs had a non-zero code are marked,
// one kind of mark per code.  Returns the exit status (EXIT_OK, EXIT_USAGE
// for a bad log or file name, EXIT_NO_PLOT when gnuplot cannot make the
// image); says why on stderr.
Exit plotLog(const std::string &csv, const std::string &image);

} // namespace vhost

#endif
