// The live view of a ladder run: one screen redrawn in place with ANSI
// sequences, the last scan rung by rung with the values that changed
// marked, the modules' figures, and the module's last lines and failure
// traces.
#ifndef TOOLS_HOST_LIVE_VIEW_H
#define TOOLS_HOST_LIVE_VIEW_H

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "scan.h"
#include "trace.h"

namespace vhost {

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
    // values; remembers the values as drawn.  What it costs does not grow
    // with the number of scans.
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

} // namespace vhost

#endif
