// Scanning a ladder program: binding each rung's operands to TLIPARAM
// records, calling the module's instruction functions, showing the results
// scan by scan and counting them into the run's statistics.
#ifndef TOOLS_HOST_SCAN_H
#define TOOLS_HOST_SCAN_H

#include <csignal>
#include <functional>
#include <string>
#include <vector>

#include "console.h"
#include "ladder.h"
#include "run_stats.h"

namespace vhost {

struct RunOptions {
    long scans = 10; // 0: until interrupted (or the duration runs out)
    // 0: no limit.  Whole milliseconds, kept in a double: a run of a month
    // is more of them than a 32-bit long holds.
    double durationMs = 0;
    int periodMs = 0;   // minimum time from one scan's start to the next
    bool quiet = false; // only the summary
};

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

    // The last scan, rung by rung (for the live view and the log).
    size_t rungs() const { return prog_.rungs.size(); }
    std::string rungId(size_t rung) const;    // "I7017@01h"
    std::string rungLabel(size_t rung) const; // "R0 I7017@01h", as the module's traces are named
    bool lastActive(size_t rung) const { return lastActive_[rung]; }
    double lastMs(size_t rung) const { return lastMs_[rung]; }
    // Every operand but "Addr:" as "LABEL=value", in table order.
    std::vector<std::string> operandTexts(size_t rung) const;
    // The rung's instruction, its records as last passed, and its address
    // when the run began (-1: the instruction has no "Addr:").
    const FUNCDEF &instr(size_t rung) const { return table_[prog_.rungs[rung].instr]; }
    const std::vector<TLIPARAM> &params(size_t rung) const { return params_[rung]; }
    int firstAddress(size_t rung) const { return firstAddress_[rung]; }

private:
    bool condition(const Rung &r, long number) const;
    void bind(const Rung &r, long number, std::vector<TLIPARAM> &params);
    std::string operandText(size_t rung, size_t i) const;
    int addressOf(size_t rung) const; // -1: the instruction has no "Addr:"
    CallEnd callEndOf(size_t rung, unsigned code, unsigned *flagged) const;

    Program &prog_;
    const FUNCDEF *table_;
    Console &console_;
    RunStats stats_;
    std::vector<std::vector<TLIPARAM>> params_; // per rung, as last passed
    std::vector<bool> lastActive_;
    std::vector<double> lastMs_;
    std::vector<int> firstAddress_;
    bool gateClosed_ = false;
};

} // namespace vhost

#endif
