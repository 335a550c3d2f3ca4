// The live view of a ladder run: one screen redrawn in place with ANSI
// sequences, fitted to the terminal's size: the modules' figures first, then
// the last scan rung by rung with the values that changed marked, then the
// module's failure traces and last lines, each named after the rung whose
// call printed it.
#ifndef TOOLS_HOST_LIVE_VIEW_H
#define TOOLS_HOST_LIVE_VIEW_H

#include <cstdio>
#include <string>
#include <vector>

#include "scan.h"
#include "screen.h"
#include "trace.h"

namespace vhost {

class LiveView {
public:
    // `rows` 0: the terminal's height is not known, and nothing is left out.
    LiveView(FILE *out, int columns, int rows) : screen_(out, columns, rows) {}
    void begin() { screen_.begin(); }
    // What the module printed during one call of rung `source`
    // ("R3 I7041@0Bh"); its last three lines are shown.
    void moduleText(const std::string &text, const std::string &source);
    // Draws the scan unless the last redraw was less than a fifth of a
    // second ago (`force`, or a new size, draws anyway).
    void scan(const Runner &runner, long number, double ms, bool force);
    // The failure traces shown below the module's last lines (none: null).
    void failures(const FailureTraces *traces) { failures_ = traces; }
    // The terminal's new size: the next scan is drawn at once, on a
    // cleared screen.
    void resize(int columns, int rows) { screen_.resize(columns, rows); }
    void end() { screen_.end(); }
    // The screen's lines for a scan, at most the terminal's rows, with the
    // sequences that mark changed values; remembers the values as drawn.
    // What it costs does not grow with the number of scans.
    std::vector<std::string> frame(const Runner &runner, long number, double ms);

private:
    std::vector<std::vector<std::string>> rungEntries(const Runner &runner);

    Screen screen_;
    std::vector<std::vector<std::string>> shown_; // operand texts per rung, as last drawn
    std::vector<TracedLine> moduleSaid_;          // the module's last lines
    const FailureTraces *failures_ = nullptr;
};

} // namespace vhost

#endif
