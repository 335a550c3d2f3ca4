// The CSV log of a ladder run, writer and reader side by side: one row per
// scan, "time,scan,scan_ms", then for each rung its state (on), its time
// (ms) and every operand but "Addr:", one column per element, named
// "R0.I7017@01h.AIN[3]" after the rung, its instruction, its address in the
// first scan and the operand's label.  The names hold no comma, quote or
// blank, so no field is quoted.
#ifndef TOOLS_HOST_CSV_LOG_H
#define TOOLS_HOST_CSV_LOG_H

#include <cstdio>
#include <string>
#include <vector>

#include "scan.h"

namespace vhost {

// The rung's columns beside its operands': its state and its time.
constexpr const char *LOG_ON = "on";
constexpr const char *LOG_MS = "ms";

// "time,scan,scan_ms": the columns every row starts with.
std::string logHeadColumns();

// The runner's columns after the first three, and the values of its last
// scan in the same order, as plain numbers.
std::vector<std::string> logColumns(const Runner &runner);
std::vector<std::string> logValues(const Runner &runner);

// Writes the log.  Each row is flushed as it is written, so a run that is
// killed loses at most the row it was writing.
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

// ---------------------------------------------------------------------------
// Reading a log back.

// The fields of a line.
std::vector<std::string> splitLogLine(const std::string &line);

// Whether a header's fields start as a log's do.
bool isLogHead(const std::vector<std::string> &columns);

// A rung's column, "R0.I7017@01h.AIN[3]": the rung "R0.I7017@01h", the
// address "01" (logs written before the h have none), the instruction, the
// operand's label (or LOG_ON, LOG_MS) and the element (-1 for a single
// value).
struct LogColumn {
    std::string rung, address, instr, label;
    int element = -1;
};

// False for a name that is no rung's column.
bool parseLogColumn(const std::string &name, LogColumn &out);

// A field as a number; NaN when it is none.
double logNumber(const std::string &field);

} // namespace vhost

#endif
