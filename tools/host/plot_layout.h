// The trend plot's layout: a ladder run's log read back and laid out in
// panels, each with its lines, its bit lanes and its marks, and the data
// file and gnuplot script that draw them.
#ifndef TOOLS_HOST_PLOT_LAYOUT_H
#define TOOLS_HOST_PLOT_LAYOUT_H

#include <istream>
#include <map>
#include <string>
#include <vector>

#include "csv_log.h"

namespace vhost {

// The state, "ErrCode:" and "ErrChan:" columns of a rung.
struct RungColumns {
    size_t on = 0, code = 0, errChan = 0; // 0: none (column 0 is the time)
};

// One line of a panel: a column's values, or one bit of the digital word in
// a column, drawn as a lane of its own at height `base`.
struct Trace {
    size_t column = 0;
    int bit = -1;
    double base = 0;
    std::string title;
};

// A series of marks: the scans in which `rung` ended with `code`, drawn at
// the height of the rung's own row of marks.
struct Mark {
    std::string rung; // "R1.I7018@02h"
    unsigned code = 0;
    size_t row = 0; // the rung's row, from the top one just below the values
};

struct Panel {
    std::string address; // "01"
    std::string instrs;  // "I7017 I7024"
    std::vector<std::string> rungs;
    std::vector<Trace> traces; // on the left axis
    std::vector<Trace> counts; // counters, on the right axis beside other traces
    bool lanes = false;        // digital words as bit lanes
    std::vector<Mark> marks;   // one series per rung and code it ended with
    size_t markRows = 0;
    double lo = 0, hi = 0;            // the range of the left axis' values
    double markTop = 0, markStep = 0; // the top row of marks, and the room between rows

    double markAt(size_t row) const { return markTop - markStep * static_cast<double>(row); }
};

using Row = std::vector<std::string>;

// A log read for the plot: its columns, its whole rows, and the panels its
// columns make (one per module address, and the scan time's last).
class TrendPlot {
public:
    // Reads the log (`name` for the messages); false after saying why.
    bool read(std::istream &in, const std::string &name);
    // The panels, their traces and marks, and the ranges.
    void layout();
    // The data file gnuplot reads: a line per scan.
    std::string data() const;
    // The gnuplot script that draws `image` from the data file.
    std::string script(const std::string &image, const std::string &data, bool png) const;
    size_t scans() const { return rows_.size(); }
    size_t modules() const { return panels_.size(); }

private:
    void sortColumns();
    void chooseTraces(Panel &p);
    void laneTraces(Panel &p, const std::vector<size_t> &words);
    void keepDrawn(std::vector<Trace> &traces) const;
    void chooseMarks(Panel &p) const;
    void placeMarks(Panel &p) const;
    const RungColumns &columnsOf(const std::string &rung) const;
    unsigned codeOf(const Row &r, const std::string &rung) const;
    double drawn(const Row &r, const Trace &t) const;
    void spread(const std::vector<Trace> &traces, double *lo, double *hi) const;
    std::vector<int> heights() const;
    std::string panelScript(const Panel &p, const std::string &data, size_t &col) const;
    std::string markFields(const Row &r, const Panel &p) const;

    std::vector<std::string> cols_;
    std::vector<Row> rows_;
    std::vector<LogColumn> parsed_;
    std::map<std::string, RungColumns> rungCols_;
    std::map<std::string, Panel> panels_;
    std::map<std::string, std::vector<size_t>> analog_, digital_, counts_, times_; // by address
    std::vector<unsigned> allCodes_; // every code marked, for one kind of point per code
    Panel scan_;                     // the scan time's panel: its marks and range
};

} // namespace vhost

#endif
