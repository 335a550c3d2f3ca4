// Scanning a ladder program: binding each rung's operands to TLIPARAM
// records, calling the module's instruction functions, showing the results
// and keeping the run's statistics.
#ifndef TOOLS_HOST_SCAN_H
#define TOOLS_HOST_SCAN_H

#include <csignal>
#include <cstdio>
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
    void relay();                         // passes on what the module printed
    void line(const std::string &text);   // one line of the host's own
    void finish();                        // ends a pending partial line
private:
    void write(const std::string &s);
    FILE *out_;
    bool at_line_start_ = true;
};

struct RunOptions {
    long scans = 10;        // 0: until interrupted (or the duration runs out)
    long duration_ms = 0;   // 0: no limit
    int period_ms = 0;      // minimum time from one scan's start to the next
    bool quiet = false;     // only the summary
};

struct RunStats {
    long scans = 0;
    std::vector<double> scan_ms;
    std::map<unsigned, long> codes;                  // "ErrCode:" values of true rungs
    std::vector<std::map<unsigned, long>> rung_codes; // the same, per rung
};

class Runner {
public:
    Runner(Program &prog, const FUNCDEF *table, Console &console);
    // One scan of every rung, numbered from 1; returns its time in ms.
    double scan(long number, bool show);
    int run(const RunOptions &opt, volatile std::sig_atomic_t *stop);
    const RunStats &stats() const { return stats_; }
    std::string summary() const;
    // The text shown for one rung after the last scan (for tests).
    std::string rung_text(size_t rung, bool active, double ms) const;

private:
    bool condition(const Rung &r, long number) const;
    void bind(const Rung &r, long number, std::vector<TLIPARAM> &params);
    std::string operand_text(size_t rung, size_t i) const;

    Program &prog_;
    const FUNCDEF *table_;
    Console &console_;
    RunStats stats_;
    std::vector<std::vector<TLIPARAM>> params_; // per rung, as last passed
};

} // namespace vhost

#endif
