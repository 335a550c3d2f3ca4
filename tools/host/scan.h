// Scanning a ladder program: binding each rung's operands to TLIPARAM
// records, calling the module's instruction functions, showing the results
// and keeping the run's statistics.
#ifndef TOOLS_HOST_SCAN_H
#define TOOLS_HOST_SCAN_H

#include <csignal>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ladder.h"

namespace vhost {

// The host's console: the module's text (captured from the host services)
// is relayed as-is, and the host's own lines always start on a fresh line.
class Console {
public:
    explicit Console(FILE *out) : out_(out) {}
    void relay();                       // passes on what the module printed
    void line(const std::string &text); // one line of the host's own
    void finish();                      // ends a pending partial line
    // While held (the live view owns the screen), the module's text is kept
    // instead of written; takeHeld() returns and forgets it.
    void hold(bool on) { heldOn_ = on; }
    std::string takeHeld();
    // Sees every piece of the module's text as it is relayed (the runner
    // relays after each instruction call), held or not.
    void tap(std::function<void(const std::string &)> f) { tap_ = std::move(f); }

private:
    void write(const std::string &s);
    FILE *out_;
    std::function<void(const std::string &)> tap_;
    bool atLineStart_ = true;
    bool heldOn_ = false;
    std::string held_;
};

struct RunOptions {
    long scans = 10; // 0: until interrupted (or the duration runs out)
    // 0: no limit.  Whole milliseconds, kept in a double: a run of a month
    // is more of them than a 32-bit long holds.
    double durationMs = 0;
    int periodMs = 0;   // minimum time from one scan's start to the next
    bool quiet = false; // only the summary
};

// What one module address saw over a run: the instructions addressed to it
// with a true rung (one exchange each, as far as the statistics go), their
// "ErrCode:" values, their response times (the instruction's time) and the
// longest run of consecutive non-zero codes.
struct ModuleStats {
    long exchanges = 0;
    std::map<unsigned, long> codes;
    std::vector<double> ms;
    long failing = 0; // consecutive failures up to now
    long longestFailing = 0;

    bool answered() const { return codes.count(0) > 0; }
    // Every exchange timed out: nothing ever came from it.
    bool neverHeard() const { return exchanges > 0 && codes.size() == 1 && codes.count(EC_TIMEOUT) > 0; }
};

struct RunStats {
    long scans = 0;
    std::vector<double> scanMs;
    std::map<unsigned, long> codes;                  // "ErrCode:" values of true rungs
    std::vector<std::map<unsigned, long>> rungCodes; // the same, per rung
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
    // Any true rung ended a scan with a non-zero code.
    bool anyFailure() const;
    // Any module answered an exchange.
    bool anyAnswered() const;
};

// "several modules timed out in one scan (01h, 04h): that looks line-wide
// ...": what several modules timing out in one scan points at.
std::string lineWideHint(const std::vector<int> &addresses);

// "min 5.0 ms, median 5.1 ms, max 40.9 ms" of a set of times (unsorted).
std::string timeSpread(std::vector<double> v);

class Runner {
public:
    Runner(Program &prog, const FUNCDEF *table, Console &console);
    // One scan of every rung, numbered from 1; returns its time in ms.
    double scan(long number, bool show);
    // Calls one rung's instruction once, with a true rung and the operands of
    // scan `number`, outside the statistics; returns the "ErrCode:" it
    // stored, or -1 when it stored none.
    int callOnce(size_t rung, long number);
    // With the I/O gate closed the module runs no instruction: nothing is
    // counted.
    void gateClosed(bool closed) { gateClosed_ = closed; }
    bool gateClosed() const { return gateClosed_; }
    // Scans as `opt` says; afterScan (if any) sees each scan's number and
    // time.  Ends after a scan in which the port turned out to be gone.
    int run(const RunOptions &opt, volatile std::sig_atomic_t *stop,
            const std::function<void(long, double)> &afterScan = nullptr);
    const RunStats &stats() const { return stats_; }
    std::string summary() const;
    // The text shown for one rung after the last scan (for tests).
    std::string rungText(size_t rung, bool active, double ms) const;
    // The per-module lines of the summary, one per address; compact: the
    // live view's shorter form ("01h  20 exch  0 OK x18 1005 TIMEOUT x2
    // 5.0/5.1/40.9 ms  run 2").
    std::string moduleLines(bool compact = false) const;
    // Whether the modules that timed out in one scan point at the line.
    bool pointsAtTheLine(const std::vector<int> &timedOut) const;
    // "03h, 04h never answered while other modules did: ..." or "".
    std::string neverHeardLine() const;

    // The last scan, rung by rung (for the live view and the log).
    size_t rungs() const { return prog_.rungs.size(); }
    std::string rungId(size_t rung) const; // "I7017@01h"
    bool lastActive(size_t rung) const { return lastActive_[rung]; }
    double lastMs(size_t rung) const { return lastMs_[rung]; }
    // Every operand but "Addr:" as "LABEL=value", in table order.
    std::vector<std::string> operandTexts(size_t rung) const;
    // The log's columns: for each rung its state (on), its time (ms), and
    // every operand but "Addr:", one column per element; named
    // "R0.I7017@01.AIN[3]" after the rung's first scan.  And the values of
    // the last scan in the same order, as plain numbers.
    std::vector<std::string> logColumns() const;
    std::vector<std::string> logValues() const;

private:
    bool condition(const Rung &r, long number) const;
    void bind(const Rung &r, long number, std::vector<TLIPARAM> &params);
    std::string operandText(size_t rung, size_t i) const;
    int addressOf(size_t rung) const; // -1: the instruction has no "Addr:"

    Program &prog_;
    const FUNCDEF *table_;
    Console &console_;
    RunStats stats_;
    std::vector<std::vector<TLIPARAM>> params_; // per rung, as last passed
    std::vector<bool> lastActive_;
    std::vector<double> lastMs_;
    std::vector<std::string> logNames_; // rung prefixes of the log, "R0.I7017@01h"
    bool gateClosed_ = false;
};

} // namespace vhost

#endif
