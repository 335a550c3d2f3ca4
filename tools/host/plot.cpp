// The trend plot: a ladder run's log read back, laid out in panels and
// drawn by gnuplot.
#include "plot.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <vector>

#include "csv_log.h"
#include "errors.h"
#include "timestamp.h"

namespace vhost {

#ifdef _WIN32
Exit plotLog(const std::string &, const std::string &)
{
    fprintf(stderr, "veldran-host: plot needs the native veldran-host and gnuplot (Debian package gnuplot-nox): "
                    "copy the log to Linux and run `veldran-host plot LOG.csv -o trend.png` there\n");
    return EXIT_NO_PLOT;
}
#else
namespace {

std::string quoted(const std::string &s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("''") : std::string(1, c);
    return q + "'";
}

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

struct Panel {
    std::string address; // "01"
    std::string instrs;  // "I7017 I7024"
    std::vector<std::string> rungs;
    std::vector<Trace> traces;
    bool lanes = false;          // digital words as bit lanes
    std::vector<unsigned> codes; // the non-zero codes its rungs ended with, a mark series each
    double markAt = 0;           // the height of its marks: the bottom of the panel
};

// Point types of the marks, one per code.
const int MARK_TYPES[] = {7, 5, 9, 11, 13, 15, 3, 1, 2, 4, 6, 8, 10, 12};

using Row = std::vector<std::string>;

// The bits of a word as the log writes it (a signed number); 0 for a field
// that holds none.
unsigned wordBits(double v)
{
    return std::isfinite(v) && std::fabs(v) < 2147483648.0 ? static_cast<unsigned>(static_cast<long>(v)) & 0xFFFFu : 0u;
}

// " 2.5" for the data file; " NaN" (a gap) for a value that is none.
std::string field(double v)
{
    char b[32];
    snprintf(b, sizeof b, " %.7g", v);
    return std::isfinite(v) ? std::string(b) : std::string(" NaN");
}

// gnuplot's range of a panel: its values' own, or around a value that never
// changes (gnuplot would warn of an empty range).
std::string yrange(double lo, double hi)
{
    char b[96];
    if (lo < hi)
        return std::string("set autoscale y\n");
    snprintf(b, sizeof b, "set yrange [%.7g:%.7g]\n", lo - 1, hi + 1);
    return std::string(b);
}

// Just below the lowest value, off the lines.
double below(double lo, double hi) { return lo - (hi > lo ? (hi - lo) * 0.04 : 0.5); }

// The plot commands of a panel's marks: the columns from `first` on, one per
// code.
std::string marks(const std::vector<unsigned> &codes, size_t first, const std::string &data)
{
    std::string m;
    for (size_t k = 0; k < codes.size(); ++k)
        m += ", " + data + " using 1:" + std::to_string(first + k) + " with points pt " +
             std::to_string(MARK_TYPES[k % std::size(MARK_TYPES)]) + " ps 0.9 lc rgb 'red' title " +
             quoted(errorLabel(codes[k]));
    return m;
}

// A log read for the plot: its columns, its whole rows, and the panels
// its columns make.
class TrendPlot {
public:
    // Reads the log; false after saying why.
    bool read(const std::string &csv);
    // The panels, their traces and marks, and the ranges.
    void layout();
    // The data file gnuplot reads; false when it cannot be written.
    bool writeData(const std::string &path) const;
    // The gnuplot script that draws `image` from the data file.
    std::string script(const std::string &image, const std::string &data, bool png) const;
    size_t scans() const { return rows_.size(); }
    size_t modules() const { return panels_.size(); }

private:
    void sortColumns();
    void chooseTraces(Panel &p);
    const RungColumns &columnsOf(const std::string &rung) const;
    unsigned codeOf(const Row &r, const std::string &rung) const;
    double drawn(const Row &r, const Trace &t) const;
    void spread(const Panel &p, double *lo, double *hi) const;
    std::vector<int> heights() const;
    std::string panelScript(const Panel &p, const std::string &data, size_t &col) const;

    std::vector<std::string> cols_;
    std::vector<Row> rows_;
    std::vector<LogColumn> parsed_;
    std::map<std::string, RungColumns> rungCols_;
    std::map<std::string, Panel> panels_;
    std::map<std::string, std::vector<size_t>> analog_, digital_, times_; // by address
    std::vector<unsigned> allCodes_;
    double scanLo_ = 0, scanHi_ = 0, scanMark_ = 0;
};

bool TrendPlot::read(const std::string &csv)
{
    std::ifstream in(csv);
    std::string line;
    if (!in || !std::getline(in, line)) {
        fprintf(stderr, "veldran-host: plot: cannot read %s\n", csv.c_str());
        return false;
    }
    cols_ = splitLogLine(line);
    if (!isLogHead(cols_)) {
        fprintf(stderr, "veldran-host: plot: %s is not a log of veldran-host run --log (no %s header)\n", csv.c_str(),
                logHeadColumns().c_str());
        return false;
    }
    // Rows: a row cut short by a killed run is left out.
    while (std::getline(in, line))
        if (!line.empty()) {
            Row v = splitLogLine(line);
            if (v.size() == cols_.size())
                rows_.push_back(v);
        }
    if (rows_.empty()) {
        fprintf(stderr, "veldran-host: plot: %s has no scans\n", csv.c_str());
        return false;
    }
    return true;
}

// A panel per address, and the columns of each: the rungs' state and codes,
// the analog values, the digital words and the instructions' times.
void TrendPlot::sortColumns()
{
    parsed_.assign(cols_.size(), LogColumn());
    for (size_t i = 3; i < cols_.size(); ++i) {
        LogColumn &c = parsed_[i];
        if (!parseLogColumn(cols_[i], c))
            continue;
        Panel &p = panels_[c.address];
        p.address = c.address;
        if (p.instrs.find(c.instr) == std::string::npos)
            p.instrs += (p.instrs.empty() ? "" : " ") + c.instr;
        if (std::find(p.rungs.begin(), p.rungs.end(), c.rung) == p.rungs.end())
            p.rungs.push_back(c.rung);
        RungColumns &rc = rungCols_[c.rung];
        if (c.label == LOG_ON)
            rc.on = i;
        else if (c.label == "ErrCode")
            rc.code = i;
        else if (c.label == "ErrChan")
            rc.errChan = i;
        else if (c.label == "AIN" || c.label == "AOUT")
            analog_[c.address].push_back(i);
        else if (c.label == "DIN" || c.label == "DOUT")
            digital_[c.address].push_back(i);
        else if (c.label == LOG_MS)
            times_[c.address].push_back(i);
    }
}

const RungColumns &TrendPlot::columnsOf(const std::string &rung) const
{
    static const RungColumns none;
    auto it = rungCols_.find(rung);
    return it == rungCols_.end() ? none : it->second;
}

// The non-zero code a rung ended a row with (0: none, or the rung was off).
unsigned TrendPlot::codeOf(const Row &r, const std::string &rung) const
{
    const RungColumns &rc = columnsOf(rung);
    if (!rc.code || (rc.on && logNumber(r[rc.on]) == 0))
        return 0u;
    double v = logNumber(r[rc.code]);
    return std::isfinite(v) && v > 0 ? static_cast<unsigned>(v) : 0u;
}

// A panel's traces: its analog values, else its digital words, else the
// instructions' times; and the codes its rungs ended with.
void TrendPlot::chooseTraces(Panel &p)
{
    const std::vector<size_t> &a = analog_[p.address], &d = digital_[p.address];
    for (size_t c : !a.empty() ? a : d.empty() ? times_[p.address] : std::vector<size_t>())
        p.traces.push_back({c, -1, 0, cols_[c]});
    if (a.empty() && !d.empty()) {
        // A lane for every bit that is ever set (bit 0 of a word that never
        // has one), lowest bit at the bottom.
        p.lanes = true;
        for (size_t c : d) {
            unsigned seen = 0;
            for (const auto &r : rows_)
                seen |= wordBits(logNumber(r[c]));
            if (!seen)
                seen = 1;
            std::string name = parsed_[c].rung.substr(0, parsed_[c].rung.find('.')) + " " + parsed_[c].label;
            for (int b = 0; b < 16; ++b)
                if ((seen >> b) & 1u)
                    p.traces.push_back({c, b, static_cast<double>(p.traces.size()), name + "." + std::to_string(b)});
        }
    }
    for (const auto &r : rows_)
        for (const std::string &rung : p.rungs) {
            unsigned code = codeOf(r, rung);
            if (code && std::find(p.codes.begin(), p.codes.end(), code) == p.codes.end())
                p.codes.push_back(code);
        }
    std::sort(p.codes.begin(), p.codes.end());
}

// A value as drawn: a gap where the rung did not run or its exchange failed
// (the operand then holds an old value) and for an input without a value
// (an open thermocouple: -9999.9 in the decimal form, its "ErrChan:" bit in
// the hex form); a bit as its lane's low or high level.
double TrendPlot::drawn(const Row &r, const Trace &t) const
{
    const LogColumn &c = parsed_[t.column];
    const RungColumns &own = columnsOf(c.rung);
    if (own.on && logNumber(r[own.on]) == 0)
        return NAN;
    unsigned code = codeOf(r, c.rung);
    if (code != 0 && code != EC_AIN_LENGTH)
        return NAN;
    double v = logNumber(r[t.column]);
    if (!std::isfinite(v))
        return NAN;
    if (t.bit >= 0)
        return t.base + (((wordBits(v) >> t.bit) & 1u) ? 0.7 : 0.0);
    if (c.label == "AIN") {
        if (std::fabs(v + 9999.9) < 0.05)
            return NAN;
        if (own.errChan && c.element >= 0 && c.element < 16 &&
            ((wordBits(logNumber(r[own.errChan])) >> c.element) & 1u))
            return NAN;
    }
    return v;
}

// The lowest and highest value a panel draws (0 and 0 when it draws none).
void TrendPlot::spread(const Panel &p, double *lo, double *hi) const
{
    *lo = INFINITY;
    *hi = -INFINITY;
    for (const auto &r : rows_)
        for (const Trace &t : p.traces) {
            double v = drawn(r, t);
            if (std::isfinite(v)) {
                *lo = std::min(*lo, v);
                *hi = std::max(*hi, v);
            }
        }
    if (!std::isfinite(*lo))
        *lo = *hi = 0;
}

void TrendPlot::layout()
{
    sortColumns();
    for (auto &kv : panels_)
        chooseTraces(kv.second);
    for (auto &kv : panels_)
        for (unsigned c : kv.second.codes)
            if (std::find(allCodes_.begin(), allCodes_.end(), c) == allCodes_.end())
                allCodes_.push_back(c);
    std::sort(allCodes_.begin(), allCodes_.end());

    // A panel's marks sit at its bottom, below its lowest value.
    scanLo_ = INFINITY;
    scanHi_ = -INFINITY;
    for (const auto &r : rows_) {
        double v = logNumber(r[2]);
        if (std::isfinite(v)) {
            scanLo_ = std::min(scanLo_, v);
            scanHi_ = std::max(scanHi_, v);
        }
    }
    if (!std::isfinite(scanLo_))
        scanLo_ = scanHi_ = 0;
    for (auto &kv : panels_) {
        double lo, hi;
        spread(kv.second, &lo, &hi);
        kv.second.markAt = kv.second.lanes ? -0.4 : below(lo, hi);
    }
    scanMark_ = below(scanLo_, scanHi_);
}

// Per row: the seconds of the run, the scan time, the scan-time panel's
// marks (one column per code), then per panel its marks and its traces.
bool TrendPlot::writeData(const std::string &path) const
{
    FILE *df = fopen(path.c_str(), "w");
    if (!df)
        return false;
    double t0 = secondsOf(rows_[0][0]);
    for (const auto &r : rows_) {
        std::vector<unsigned> inRow;
        std::string fields;
        for (const auto &kv : panels_) {
            const Panel &p = kv.second;
            std::vector<unsigned> here;
            for (const std::string &rung : p.rungs)
                if (unsigned code = codeOf(r, rung))
                    here.push_back(code);
            inRow.insert(inRow.end(), here.begin(), here.end());
            for (unsigned code : p.codes)
                fields += field(std::find(here.begin(), here.end(), code) != here.end() ? p.markAt : NAN);
            for (const Trace &t : p.traces)
                fields += field(drawn(r, t));
        }
        std::string scanMarks;
        for (unsigned code : allCodes_)
            scanMarks += field(std::find(inRow.begin(), inRow.end(), code) != inRow.end() ? scanMark_ : NAN);
        double t = secondsOf(r[0]) - t0;
        fprintf(df, "%.3f %s%s%s\n", std::isfinite(t) ? t : logNumber(r[1]), r[2].c_str(), scanMarks.c_str(),
                fields.c_str());
    }
    fclose(df);
    return true;
}

// Each panel 240 pixels high, more when its lanes need it; the scan-time
// panel last.
std::vector<int> TrendPlot::heights() const
{
    std::vector<int> h;
    for (const auto &kv : panels_)
        h.push_back(kv.second.lanes ? std::max(240, 60 + 18 * static_cast<int>(kv.second.traces.size())) : 240);
    h.push_back(240);
    return h;
}

// A module's panel: its range, title and plot command; its columns of the
// data file start at `col`, which is moved past them.
std::string TrendPlot::panelScript(const Panel &p, const std::string &data, size_t &col) const
{
    std::string script;
    if (p.lanes) {
        std::string tics;
        for (const Trace &t : p.traces)
            tics += (tics.empty() ? "" : ", ") + quoted(t.title) + " " + std::to_string(static_cast<int>(t.base));
        script += "set yrange [-0.6:" + std::to_string(p.traces.size()) + "]\nset ytics (" + tics + ")\n";
    } else {
        double lo, hi;
        spread(p, &lo, &hi);
        script += yrange(lo, hi) + "set ytics autofreq\n";
    }
    script += "set title " + quoted("module " + p.address + "h (" + p.instrs + ")") + "\nplot ";
    size_t markCol = col;
    col += p.codes.size();
    std::string lines;
    for (const Trace &t : p.traces) {
        lines += (lines.empty() ? "" : ", ") + data + " using 1:" + std::to_string(col++) +
                 (p.lanes ? " with steps lc rgb '#1f4e9a' notitle" : " with lines title " + quoted(t.title));
    }
    return script + lines + marks(p.codes, markCol, data) + "\n";
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
    size_t col = 3 + allCodes_.size(); // 1 seconds, 2 scan time, then the scan-time panel's marks
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
    script += place(h.back()) + yrange(scanLo_, scanHi_) +
              "set ytics autofreq\nset title 'scan time'\nset ylabel 'ms'\nplot " + d +
              " using 1:2 with lines title 'scan_ms'" + marks(allCodes_, 3, d) + "\nunset multiplot\n";
    return script;
}

// gnuplot's exit status with the script on its input (-1: it did not start).
int runGnuplot(const std::string &script)
{
    FILE *gp = popen("gnuplot", "w");
    if (!gp)
        return -1;
    fputs(script.c_str(), gp);
    return pclose(gp);
}

} // namespace

Exit plotLog(const std::string &csv, const std::string &image)
{
    std::string ext = image.size() > 4 ? image.substr(image.size() - 4) : "";
    for (char &c : ext)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (ext != ".png" && ext != ".svg") {
        fprintf(stderr, "veldran-host: plot: %s: the image must be a .png or an .svg file\n", image.c_str());
        return EXIT_USAGE;
    }
    TrendPlot plot;
    if (!plot.read(csv))
        return EXIT_USAGE;
    plot.layout();
    std::string data = image + ".data";
    if (!plot.writeData(data)) {
        fprintf(stderr, "veldran-host: plot: cannot write %s\n", data.c_str());
        return EXIT_USAGE;
    }
    int st = runGnuplot(plot.script(image, data, ext == ".png"));
    remove(data.c_str());
    if (st != 0) {
        fprintf(stderr, "veldran-host: plot: gnuplot could not make %s (the Debian package gnuplot-nox brings it)\n",
                image.c_str());
        return EXIT_NO_PLOT;
    }
    printf("plot: %s, %zu scans, %zu module%s\n", image.c_str(), plot.scans(), plot.modules(),
           plot.modules() == 1 ? "" : "s");
    return EXIT_OK;
}
#endif

} // namespace vhost
