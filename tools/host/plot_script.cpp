// The trend plot's gnuplot script: the panels stacked, each with its range,
// its lines or labelled bit lanes, its counters on the right axis and its
// rows of marks, named after the rung and the code.
#include <algorithm>
#include <cstdio>
#include <iterator>

#include "errors.h"
#include "plot_layout.h"
#include "timestamp.h"

namespace vhost {

namespace {

std::string quoted(const std::string &s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("''") : std::string(1, c);
    return q + "'";
}

std::string number(double v)
{
    char b[32];
    snprintf(b, sizeof b, "%.7g", v);
    return b;
}

// Point types of the marks, one per code.
const int MARK_TYPES[] = {7, 5, 9, 11, 13, 15, 3, 1, 2, 4, 6, 8, 10, 12};

// "R1 I7018@02h" of the rung "R1.I7018@02h".
std::string rungName(const std::string &rung)
{
    std::string s = rung;
    size_t dot = s.find('.');
    if (dot != std::string::npos)
        s[dot] = ' ';
    return s;
}

// The left axis' range of a panel: its values' (its lanes') and, below them,
// its rows of marks.
std::string yrangeOf(const Panel &p)
{
    double bottom, top;
    if (p.lanes) {
        bottom = p.markRows ? p.markAt(p.markRows - 1) - 0.25 : -0.3;
        top = static_cast<double>(p.traces.size());
    } else {
        bottom = (p.markRows ? p.markAt(p.markRows - 1) : p.lo) - p.markStep;
        top = p.hi + p.markStep;
    }
    return "set yrange [" + number(bottom) + ":" + number(top) + "]\n";
}

// The plot commands of a panel's marks, its columns of the data file from
// `first` on: one kind of point per code (the same in every panel), each
// named after its rung and code.
std::string marks(const Panel &p, const std::vector<unsigned> &codes, size_t first, const std::string &data)
{
    std::string m;
    for (size_t k = 0; k < p.marks.size(); ++k) {
        size_t kind = static_cast<size_t>(std::find(codes.begin(), codes.end(), p.marks[k].code) - codes.begin());
        m += ", " + data + " using 1:" + std::to_string(first + k) + " with points pt " +
             std::to_string(MARK_TYPES[kind % std::size(MARK_TYPES)]) + " ps 0.9 lc rgb 'red' title " +
             quoted(rungName(p.marks[k].rung) + ": " + errorLabel(p.marks[k].code));
    }
    return m;
}

// Room for the rows of marks beyond three.
int markRoom(const Panel &p) { return 14 * static_cast<int>(p.markRows > 3 ? p.markRows - 3 : 0); }

} // namespace

// Each panel 240 pixels high, more when its lanes or its rows of marks need
// it; the scan-time panel last.
std::vector<int> TrendPlot::heights() const
{
    std::vector<int> h;
    for (const auto &kv : panels_) {
        const Panel &p = kv.second;
        int lanes = p.lanes ? 60 + 18 * static_cast<int>(p.traces.size() + p.markRows) : 0;
        h.push_back(std::max(240 + markRoom(p), lanes));
    }
    h.push_back(240 + markRoom(scan_));
    return h;
}

// A module's panel: its range, title and plot command; its columns of the
// data file start at `col`, which is moved past them.
std::string TrendPlot::panelScript(const Panel &p, const std::string &data, size_t &col) const
{
    std::string script = yrangeOf(p);
    if (p.lanes) {
        // Each lane's label at its middle, between its low and high level.
        std::string tics;
        for (const Trace &t : p.traces)
            tics += (tics.empty() ? "" : ", ") + quoted(t.title) + " " + number(t.base + 0.35);
        script += "set ytics (" + tics + ")\n";
    } else {
        script += "set ytics autofreq\n";
    }
    if (p.counts.empty()) {
        script += "set ytics mirror\nunset y2tics\n";
    } else {
        // The counters' own axis, on the right; around a count that never
        // changes (gnuplot would warn of an empty range).
        double lo, hi;
        spread(p.counts, &lo, &hi);
        script += "set ytics nomirror\nset y2tics\n" +
                  (lo < hi ? std::string("set autoscale y2\n")
                           : "set y2range [" + number(lo - 1) + ":" + number(hi + 1) + "]\n");
    }
    script += "set title " + quoted("module " + p.address + "h (" + p.instrs + ")") + "\n";
    size_t markCol = col;
    col += p.marks.size();
    std::string lines;
    for (const Trace &t : p.traces)
        lines += (lines.empty() ? "" : ", ") + data + " using 1:" + std::to_string(col++) +
                 (p.lanes ? " with steps lc rgb '#1f4e9a' notitle" : " with lines title " + quoted(t.title));
    for (const Trace &t : p.counts)
        lines += (lines.empty() ? "" : ", ") + data + " using 1:" + std::to_string(col++) +
                 " axes x1y2 with lines lw 2 title " + quoted(t.title + " (right axis)");
    std::string m = marks(p, allCodes_, markCol, data);
    if (lines.empty() && m.empty()) {
        // Nothing was read and nothing failed (a rung that was never true).
        double last = secondsOf(rows_.back()[0]) - secondsOf(rows_[0][0]);
        if (!(last > 0))
            last = static_cast<double>(rows_.size()); // the scan numbers of a log without times
        return script + "set xrange [0:" + number(last) + "]\nplot NaN notitle\nset autoscale x\n";
    }
    if (lines.empty())
        m.erase(0, 2); // the marks alone
    return script + "plot " + lines + m + "\n";
}

std::string TrendPlot::script(const std::string &image, const std::string &data, bool png) const
{
    std::vector<int> h = heights();
    int height = 0;
    for (int one : h)
        height += one;
    std::string script = std::string(png ? "set terminal pngcairo" : "set terminal svg") + " size 1000," +
                         std::to_string(height) + " noenhanced font ',9'\n" + "set output " + quoted(image) + "\n" +
                         "set multiplot\nset key outside right top\nset grid\nset xlabel 's'\n";
    std::string d = quoted(data);
    size_t col = 3 + scan_.marks.size(); // 1 seconds, 2 scan time, then the scan-time panel's marks
    int top = height;
    size_t k = 0;
    auto place = [&](int ph) {
        top -= ph;
        char b[96];
        snprintf(b, sizeof b, "set origin 0,%.6f\nset size 1,%.6f\n", static_cast<double>(top) / height,
                 static_cast<double>(ph) / height);
        return std::string(b);
    };
    for (const auto &kv : panels_)
        script += place(h[k++]) + panelScript(kv.second, d, col);
    script += place(h.back()) + yrangeOf(scan_) +
              "set ytics autofreq\nset ytics mirror\nunset y2tics\nset title 'scan time'\nset ylabel 'ms'\nplot " + d +
              " using 1:2 with lines title 'scan_ms'" + marks(scan_, allCodes_, 3, d) + "\nunset multiplot\n";
    return script;
}

} // namespace vhost
