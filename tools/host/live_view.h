// The live view of a ladder run: one screen redrawn in place with ANSI
// sequences, fitted to the terminal's size: the modules' figures first, then
// the last scan rung by rung with the values that changed marked, then the
// module's failure traces and last lines, each named after the rung whose
// call printed it.
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
    // `rows` 0: the terminal's height is not known, and nothing is left out.
    LiveView(FILE *out, int columns, int rows) : out_(out) { size(columns, rows); }
    void begin();
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
    void resize(int columns, int rows);
    void end();
    // The screen's lines for a scan, at most the terminal's rows, with the
    // sequences that mark changed values; remembers the values as drawn.
    // What it costs does not grow with the number of scans.
    std::vector<std::string> frame(const Runner &runner, long number, double ms);

private:
    void size(int columns, int rows);
    std::vector<std::vector<std::string>> rungEntries(const Runner &runner);

    FILE *out_;
    int cols_ = 80, rows_ = 0;
    bool drawn_ = false;
    bool resized_ = false;  // the next redraw clears the screen first
    bool openLine_ = false; // the last line drawn filled the screen: no line end after it
    std::chrono::steady_clock::time_point last_;
    std::vector<std::vector<std::string>> shown_; // operand texts per rung, as last drawn
    std::vector<TracedLine> moduleSaid_;          // the module's last lines
    const FailureTraces *failures_ = nullptr;
};

// Text onto lines of at most `width` characters, broken at blanks (the
// blanks of the break left out), continuation lines indented by `indent`;
// a word longer than a line is cut after a comma, or where the line ends.
std::vector<std::string> wrapText(const std::string &text, size_t width, size_t indent);

// What redraws a screen in place with `lines` (at most `rows`, 0: not
// known): from the top (`clear`: on a cleared screen), each line's rest
// cleared, and below them; `openLine` tells whether the last line filled
// the screen and got no line end.
std::string screenText(const std::vector<std::string> &lines, int columns, int rows, bool clear, bool *openLine);

} // namespace vhost

#endif
