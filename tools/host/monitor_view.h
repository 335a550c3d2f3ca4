// The monitor's live screen: one block per module address heard (what
// named it, its last values, its response times, its faults and how long
// ago it was last heard), the hints and the last fault, fitted to the
// terminal and redrawn in place.
#ifndef TOOLS_HOST_MONITOR_VIEW_H
#define TOOLS_HOST_MONITOR_VIEW_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "monitor_stats.h"
#include "screen.h"

namespace vhost::monitor {

class MonitorView {
public:
    // `rows` 0: the terminal's height is not known, and nothing is left out.
    MonitorView(FILE *out, int columns, int rows) : screen_(out, columns, rows) {}
    void begin() { screen_.begin(); }
    // Draws the screen as at `nowUs` (the listening's clock) unless the
    // last redraw was less than a fifth of a second before (`force`, or a
    // new size, draws anyway).
    void draw(const MonitorStats &st, int64_t nowUs, bool force);
    void resize(int columns, int rows) { screen_.resize(columns, rows); }
    void end() { screen_.end(); }
    // The screen's lines, at most the terminal's rows.  What it costs grows
    // with the addresses heard, not with the exchanges.
    std::vector<std::string> frame(const MonitorStats &st, int64_t nowUs) const;

private:
    Screen screen_;
};

} // namespace vhost::monitor

#endif
