// The trend plot's data side: a ladder run's log read back, its columns
// sorted into panels, what each panel draws, and the data file gnuplot reads.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "errors.h"
#include "plot_layout.h"
#include "timestamp.h"

namespace vhost {

namespace {

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

} // namespace

bool TrendPlot::read(std::istream &in, const std::string &name)
{
    std::string line;
    if (!in || !std::getline(in, line)) {
        fprintf(stderr, "veldran-host: plot: cannot read %s\n", name.c_str());
        return false;
    }
    cols_ = splitLogLine(line);
    if (!isLogHead(cols_)) {
        fprintf(stderr, "veldran-host: plot: %s is not a log of veldran-host run --log (no %s header)\n", name.c_str(),
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
        fprintf(stderr, "veldran-host: plot: %s has no scans\n", name.c_str());
        return false;
    }
    return true;
}

// A panel per address, and the columns of each: the rungs' state and codes,
// the analog values, the digital words, the counters and the instructions'
// times.  The scan time's panel has every rung, in the log's order.
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
        if (std::find(p.rungs.begin(), p.rungs.end(), c.rung) == p.rungs.end()) {
            p.rungs.push_back(c.rung);
            scan_.rungs.push_back(c.rung);
        }
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
        else if (c.label == "Count")
            counts_[c.address].push_back(i);
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

// Only the traces with a value in some scan: a rung that never read one
// (its module silent, an open input) has nothing to draw or name in the key.
void TrendPlot::keepDrawn(std::vector<Trace> &traces) const
{
    auto none = [this](const Trace &t) {
        for (const Row &r : rows_)
            if (std::isfinite(drawn(r, t)))
                return false;
        return true;
    };
    traces.erase(std::remove_if(traces.begin(), traces.end(), none), traces.end());
}

// A lane for every bit of each word that was read, from bit 0 up to the
// highest that was ever set (bit 0 alone for a word never set), lowest at the
// bottom, so that the bits between the set ones have their lanes as well.
void TrendPlot::laneTraces(Panel &p, const std::vector<size_t> &words)
{
    for (size_t c : words) {
        bool read = false;
        unsigned seen = 0;
        for (const Row &r : rows_) {
            double v = drawn(r, Trace{c, -1, 0, ""});
            read |= std::isfinite(v);
            seen |= wordBits(v);
        }
        if (!read)
            continue;
        int top = 0;
        for (int b = 0; b < 16; ++b)
            if ((seen >> b) & 1u)
                top = b;
        std::string name = parsed_[c].rung.substr(0, parsed_[c].rung.find('.')) + " " + parsed_[c].label;
        for (int b = 0; b <= top; ++b)
            p.traces.push_back({c, b, static_cast<double>(p.traces.size()), name + "." + std::to_string(b)});
    }
    p.lanes = !p.traces.empty();
}

// A panel's traces: its analog values, else its digital words as lanes, and
// its counters (on an axis of their own beside them); a module with none of
// them that were read: the instructions' times.
void TrendPlot::chooseTraces(Panel &p)
{
    const std::vector<size_t> &a = analog_[p.address], &d = digital_[p.address];
    for (size_t c : a)
        p.traces.push_back({c, -1, 0, cols_[c]});
    keepDrawn(p.traces);
    if (p.traces.empty())
        laneTraces(p, d);
    for (size_t c : counts_[p.address])
        p.counts.push_back({c, -1, 0, cols_[c]});
    keepDrawn(p.counts);
    if (p.traces.empty())
        p.traces.swap(p.counts);
    if (p.traces.empty()) {
        for (size_t c : times_[p.address])
            p.traces.push_back({c, -1, 0, cols_[c]});
        keepDrawn(p.traces);
    }
}

// A series of marks per rung and each code it ended with; a row of marks
// per rung, so that the marks of two rungs in one scan do not cover each
// other.
void TrendPlot::chooseMarks(Panel &p) const
{
    for (const std::string &rung : p.rungs) {
        std::vector<unsigned> codes;
        for (const Row &r : rows_) {
            unsigned code = codeOf(r, rung);
            if (code && std::find(codes.begin(), codes.end(), code) == codes.end())
                codes.push_back(code);
        }
        std::sort(codes.begin(), codes.end());
        for (unsigned code : codes)
            p.marks.push_back({rung, code, p.markRows});
        if (!codes.empty())
            ++p.markRows;
    }
}

// The rows of marks below a panel's values (below its lanes).
void TrendPlot::placeMarks(Panel &p) const
{
    if (p.lanes) {
        p.markStep = 0.35;
        p.markTop = -0.35;
        return;
    }
    p.markStep = p.hi > p.lo ? (p.hi - p.lo) * 0.06 : 0.5;
    p.markTop = p.lo - p.markStep;
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

// The lowest and highest value of some traces (0 and 0 when they draw none).
void TrendPlot::spread(const std::vector<Trace> &traces, double *lo, double *hi) const
{
    *lo = INFINITY;
    *hi = -INFINITY;
    for (const auto &r : rows_)
        for (const Trace &t : traces) {
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
    for (auto &kv : panels_) {
        Panel &p = kv.second;
        chooseTraces(p);
        chooseMarks(p);
        spread(p.traces, &p.lo, &p.hi);
        placeMarks(p);
        for (const Mark &m : p.marks)
            if (std::find(allCodes_.begin(), allCodes_.end(), m.code) == allCodes_.end())
                allCodes_.push_back(m.code);
    }
    std::sort(allCodes_.begin(), allCodes_.end());
    chooseMarks(scan_);
    scan_.lo = INFINITY;
    scan_.hi = -INFINITY;
    for (const auto &r : rows_) {
        double v = logNumber(r[2]);
        if (std::isfinite(v)) {
            scan_.lo = std::min(scan_.lo, v);
            scan_.hi = std::max(scan_.hi, v);
        }
    }
    if (!std::isfinite(scan_.lo))
        scan_.lo = scan_.hi = 0;
    placeMarks(scan_);
}

// A row's fields of a panel's marks: the height of the mark's row where its
// rung ended the scan with its code, a gap elsewhere.
std::string TrendPlot::markFields(const Row &r, const Panel &p) const
{
    std::string fields;
    for (const Mark &m : p.marks)
        fields += field(codeOf(r, m.rung) == m.code ? p.markAt(m.row) : NAN);
    return fields;
}

// Per row: the seconds of the run, the scan time, the scan-time panel's
// marks, then per panel its marks, its traces and its counters.
std::string TrendPlot::data() const
{
    std::string out;
    double t0 = secondsOf(rows_[0][0]);
    for (const auto &r : rows_) {
        std::string fields;
        for (const auto &kv : panels_) {
            const Panel &p = kv.second;
            fields += markFields(r, p);
            for (const Trace &t : p.traces)
                fields += field(drawn(r, t));
            for (const Trace &t : p.counts)
                fields += field(drawn(r, t));
        }
        double t = secondsOf(r[0]) - t0;
        char head[48];
        snprintf(head, sizeof head, "%.3f ", std::isfinite(t) ? t : logNumber(r[1]));
        out += head + r[2] + markFields(r, scan_) + fields + "\n";
    }
    return out;
}

} // namespace vhost
