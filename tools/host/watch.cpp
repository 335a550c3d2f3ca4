// The log, the live view and the trend plot of the reference host.
#include "watch.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>

#include "errors.h"
#include "ladder.h"

namespace vhost {

std::string isoTimestamp()
{
    using namespace std::chrono;
    system_clock::time_point now = system_clock::now();
    long long ms = duration_cast<milliseconds>(now.time_since_epoch()).count();
    std::time_t secs = static_cast<std::time_t>(ms / 1000);
    std::tm *t = std::gmtime(&secs);
    char buf[96];
    if (!t)
        return "1970-01-01T00:00:00.000Z";
    snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t->tm_year + 1900, t->tm_mon + 1, t->tm_mday,
             t->tm_hour, t->tm_min, t->tm_sec, static_cast<int>(ms % 1000));
    return buf;
}

// ---------------------------------------------------------------------------
CsvLog::~CsvLog()
{
    if (f_)
        fclose(f_);
}

bool CsvLog::open(const std::string &path, const Runner &runner, std::string &error)
{
    f_ = fopen(path.c_str(), "w");
    if (!f_) {
        error = "cannot write " + path;
        return false;
    }
    // The names hold no comma, quote or blank, so no field needs quoting.
    std::string head = "time,scan,scan_ms";
    for (const std::string &c : runner.logColumns())
        head += "," + c;
    fprintf(f_, "%s\n", head.c_str());
    fflush(f_);
    return true;
}

void CsvLog::row(const Runner &runner, long number, double ms)
{
    if (!f_)
        return;
    std::string line = isoTimestamp() + "," + std::to_string(number);
    char buf[32];
    snprintf(buf, sizeof buf, ",%.3f", ms);
    line += buf;
    for (const std::string &v : runner.logValues())
        line += "," + v;
    fprintf(f_, "%s\n", line.c_str());
    fflush(f_);
}

// ---------------------------------------------------------------------------
FailureTraces::~FailureTraces()
{
    if (f_)
        fclose(f_);
}

bool FailureTraces::open(const std::string &path, std::string &error)
{
    f_ = fopen(path.c_str(), "w");
    if (!f_) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

void FailureTraces::call(const std::string &text, long scan)
{
    // The module's failure traces; the reply trace of a good read ("rec:
    // >...") is kept only beside one of them.
    if (text.find(" addr=") == std::string::npos && text.find("InvalidChecksum:") == std::string::npos &&
        text.find("rec: cnt=") == std::string::npos)
        return;
    std::string stamp = isoTimestamp();
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l)) {
        while (!l.empty() && (l.back() == '\r' || l.back() == ' '))
            l.pop_back();
        size_t from = l.find_first_not_of(" \t");
        if (from == std::string::npos)
            continue;
        l.erase(0, from);
        if (f_) {
            fprintf(f_, "%s scan %ld: %s\n", stamp.c_str(), scan, l.c_str());
            fflush(f_);
        }
        // "2026-12-08T07:53:12.345Z": the time of day.
        recent_.push_back("scan " + std::to_string(scan) + " " + stamp.substr(11, 12) + "  " + l);
        if (recent_.size() > KEPT)
            recent_.erase(recent_.begin());
    }
}

// ---------------------------------------------------------------------------
namespace {

const char *kMark = "\x1b[7m", *kUnmark = "\x1b[27m";

struct Token {
    std::string text;
    bool marked;
};

// Words onto lines of at most `width` visible characters, continuation
// lines indented; a word too long for a line is cut after its commas (an
// array's elements), or anywhere when it has none.
void wrap(std::vector<std::string> &out, const std::string &head, const std::vector<Token> &words, size_t width,
          size_t indent)
{
    std::vector<Token> pieces;
    size_t room = width - indent;
    for (const Token &w : words) {
        std::string t = w.text;
        while (t.size() > room) {
            size_t cut = t.rfind(',', room - 1);
            cut = cut == std::string::npos || cut == 0 ? room : cut + 1;
            pieces.push_back({t.substr(0, cut), w.marked});
            t = t.substr(cut);
        }
        pieces.push_back({t, w.marked});
    }
    std::string line = head;
    size_t vis = head.size();
    bool fresh = true; // nothing after the head or indent yet
    for (const Token &p : pieces) {
        if (!fresh && vis + 1 + p.text.size() > width) {
            out.push_back(line);
            line.assign(indent, ' ');
            vis = indent;
            fresh = true;
        }
        if (vis > 0 && !(fresh && vis == indent && line.find_first_not_of(' ') == std::string::npos)) {
            line += ' ';
            ++vis;
        }
        line += p.marked ? kMark + p.text + kUnmark : p.text;
        vis += p.text.size();
        fresh = false;
    }
    out.push_back(line);
}

} // namespace

void LiveView::begin()
{
    fputs("\x1b[?25l\x1b[2J\x1b[H", out_);
    fflush(out_);
}

void LiveView::end()
{
    fputs("\x1b[0m\x1b[?25h", out_);
    fflush(out_);
}

std::vector<std::string> LiveView::frame(const Runner &runner, long number, double ms)
{
    std::vector<std::string> lines;
    size_t width = static_cast<size_t>(cols_);
    char buf[160];
    snprintf(buf, sizeof buf, "scan %ld  %.1f ms  (%s)", number, ms, timeSpread(runner.stats().scanMs).c_str());
    std::string head = buf;
    if (head.size() + 16 <= width)
        head += "  Ctrl-C ends";
    lines.push_back(head.substr(0, width));
    shown_.resize(runner.rungs());
    for (size_t r = 0; r < runner.rungs(); ++r) {
        snprintf(buf, sizeof buf, "R%-2zu %-10s %-3s %6.1f ms ", r, runner.rungId(r).c_str(),
                 runner.lastActive(r) ? "on" : "off", runner.lastMs(r));
        std::vector<std::string> texts = runner.operandTexts(r);
        std::vector<Token> words;
        for (size_t i = 0; i < texts.size(); ++i) {
            bool changed = i < shown_[r].size() && shown_[r][i] != texts[i];
            // "ErrCode=1005 TIMEOUT" stays one word.
            words.push_back({texts[i], changed});
        }
        shown_[r] = texts;
        std::string h = buf;
        h.pop_back();
        wrap(lines, h, words, width, 6);
    }
    lines.push_back(
        std::string("modules: exchanges, codes, response min/median/max, longest failure run").substr(0, width));
    std::istringstream ml(runner.moduleLines(true));
    std::string l;
    while (std::getline(ml, l))
        lines.push_back(l.substr(0, width));
    if (runner.stats().modules.empty())
        lines.push_back("  none addressed yet");
    const RunStats &st = runner.stats();
    if (!st.lineWideLast.empty() && st.lineWideLastScan == number)
        lines.push_back(lineWideHint(st.lineWideLast).substr(0, width));
    if (!moduleSaid_.empty()) {
        lines.push_back("the module said:");
        for (const std::string &s : moduleSaid_)
            lines.push_back("  " + s.substr(0, width - 2));
    }
    if (failures_ && !failures_->recent().empty()) {
        lines.push_back("failures the module traced, the last " + std::to_string(failures_->recent().size()) + ":");
        for (const std::string &s : failures_->recent())
            lines.push_back("  " + s.substr(0, width - 2));
    }
    return lines;
}

void LiveView::scan(const Runner &runner, long number, double ms, const std::string &moduleText, bool force)
{
    // The module's last three lines stay on the screen.
    std::istringstream in(moduleText);
    std::string l;
    while (std::getline(in, l)) {
        while (!l.empty() && (l.back() == '\r' || l.back() == '\n'))
            l.pop_back();
        if (l.empty())
            continue;
        moduleSaid_.push_back(l);
        if (moduleSaid_.size() > 3)
            moduleSaid_.erase(moduleSaid_.begin());
    }
    auto now = std::chrono::steady_clock::now();
    if (drawn_ && !force && now - last_ < std::chrono::milliseconds(200))
        return;
    drawn_ = true;
    last_ = now;
    std::vector<std::string> lines = frame(runner, number, ms);
    if (rows_ > 1 && lines.size() > static_cast<size_t>(rows_ - 1)) {
        size_t keep = static_cast<size_t>(rows_ - 2);
        size_t more = lines.size() - keep;
        lines.resize(keep);
        lines.push_back("(" + std::to_string(more) + " more lines: a taller terminal shows them)");
    }
    std::string out = "\x1b[H";
    for (const std::string &s : lines)
        out += s + "\x1b[K\n";
    out += "\x1b[J";
    fwrite(out.data(), 1, out.size(), out_);
    fflush(out_);
}

// ---------------------------------------------------------------------------
// The plot.

#ifdef _WIN32
int plotLog(const std::string &, const std::string &)
{
    fprintf(stderr, "veldran-host: plot needs the native veldran-host and gnuplot (Debian package gnuplot-nox): "
                    "copy the log to Linux and run `veldran-host plot LOG.csv -o trend.png` there\n");
    return 2;
}
#else
namespace {

std::vector<std::string> splitCsv(const std::string &line)
{
    std::vector<std::string> v;
    std::string cur;
    for (char c : line) {
        if (c == ',') {
            v.push_back(cur);
            cur.clear();
        } else if (c != '\r') {
            cur += c;
        }
    }
    v.push_back(cur);
    return v;
}

// Seconds since the epoch of "2026-12-08T07:46:27.123Z" (NaN when it is not).
double secondsOf(const std::string &t)
{
    int y, mo, d, h, mi;
    double s;
    if (sscanf(t.c_str(), "%d-%d-%dT%d:%d:%lf", &y, &mo, &d, &h, &mi, &s) != 6)
        return NAN;
    // Days from the civil date (proleptic Gregorian).
    y -= mo <= 2;
    long era = (y >= 0 ? y : y - 399) / 400;
    long yoe = y - era * 400;
    long doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    double days = static_cast<double>(era * 146097 + doe - 719468);
    return days * 86400.0 + h * 3600.0 + mi * 60.0 + s;
}

std::string quoted(const std::string &s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("''") : std::string(1, c);
    return q + "'";
}

// A column of the log, "R0.I7017@01h.AIN[3]": the rung "R0.I7017@01h",
// the address "01" (logs written before the h have none), the instruction,
// the operand's label and the element (-1 for a single value).
struct Column {
    std::string rung, address, instr, label;
    int element = -1;
};

bool parseColumn(const std::string &c, Column &out)
{
    size_t at = c.find('@'), dot1 = c.find('.'), dot2 = c.rfind('.');
    if (at == std::string::npos || dot1 == std::string::npos || dot2 <= at)
        return false;
    out.rung = c.substr(0, dot2);
    out.address = c.substr(at + 1, dot2 - at - 1);
    if (!out.address.empty() && out.address.back() == 'h')
        out.address.pop_back();
    out.instr = c.substr(dot1 + 1, at - dot1 - 1);
    out.label = c.substr(dot2 + 1);
    size_t bracket = out.label.find('[');
    if (bracket != std::string::npos) {
        out.element = atoi(out.label.c_str() + bracket + 1);
        out.label.resize(bracket);
    }
    return true;
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

} // namespace

int plotLog(const std::string &csv, const std::string &image)
{
    std::string ext = image.size() > 4 ? image.substr(image.size() - 4) : "";
    for (char &c : ext)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (ext != ".png" && ext != ".svg") {
        fprintf(stderr, "veldran-host: plot: %s: the image must be a .png or an .svg file\n", image.c_str());
        return 1;
    }
    std::ifstream in(csv);
    std::string line;
    if (!in || !std::getline(in, line)) {
        fprintf(stderr, "veldran-host: plot: cannot read %s\n", csv.c_str());
        return 1;
    }
    std::vector<std::string> cols = splitCsv(line);
    if (cols.size() < 3 || cols[0] != "time" || cols[1] != "scan" || cols[2] != "scan_ms") {
        fprintf(stderr, "veldran-host: plot: %s is not a log of veldran-host run --log (no time,scan,scan_ms header)\n",
                csv.c_str());
        return 1;
    }
    // Rows: a row cut short by a killed run is left out.
    std::vector<std::vector<std::string>> rows;
    while (std::getline(in, line))
        if (!line.empty()) {
            std::vector<std::string> v = splitCsv(line);
            if (v.size() == cols.size())
                rows.push_back(v);
        }
    if (rows.empty()) {
        fprintf(stderr, "veldran-host: plot: %s has no scans\n", csv.c_str());
        return 1;
    }
    auto num = [](const std::string &s) {
        char *end = nullptr;
        double v = strtod(s.c_str(), &end);
        return end && end != s.c_str() ? v : NAN;
    };

    // A panel per address; its analog values, else its digital words, else
    // the instructions' times.
    std::vector<Column> parsed(cols.size());
    std::map<std::string, RungColumns> rungCols;
    std::map<std::string, Panel> panels;
    std::map<std::string, std::vector<size_t>> analog, digital, times;
    for (size_t i = 3; i < cols.size(); ++i) {
        Column &c = parsed[i];
        if (!parseColumn(cols[i], c))
            continue;
        Panel &p = panels[c.address];
        p.address = c.address;
        if (p.instrs.find(c.instr) == std::string::npos)
            p.instrs += (p.instrs.empty() ? "" : " ") + c.instr;
        if (std::find(p.rungs.begin(), p.rungs.end(), c.rung) == p.rungs.end())
            p.rungs.push_back(c.rung);
        RungColumns &rc = rungCols[c.rung];
        if (c.label == "on")
            rc.on = i;
        else if (c.label == "ErrCode")
            rc.code = i;
        else if (c.label == "ErrChan")
            rc.errChan = i;
        else if (c.label == "AIN" || c.label == "AOUT")
            analog[c.address].push_back(i);
        else if (c.label == "DIN" || c.label == "DOUT")
            digital[c.address].push_back(i);
        else if (c.label == "ms")
            times[c.address].push_back(i);
    }
    // The non-zero code a rung ended a row with (0: none, or the rung was off).
    auto codeOf = [&](const std::vector<std::string> &r, const std::string &rung) {
        const RungColumns &rc = rungCols[rung];
        if (!rc.code || (rc.on && num(r[rc.on]) == 0))
            return 0u;
        double v = num(r[rc.code]);
        return std::isfinite(v) && v > 0 ? static_cast<unsigned>(v) : 0u;
    };
    for (auto &kv : panels) {
        Panel &p = kv.second;
        const std::vector<size_t> &a = analog[p.address], &d = digital[p.address];
        for (size_t c : !a.empty() ? a : d.empty() ? times[p.address] : std::vector<size_t>())
            p.traces.push_back({c, -1, 0, cols[c]});
        if (a.empty() && !d.empty()) {
            // A lane for every bit that is ever set (bit 0 of a word that
            // never has one), lowest bit at the bottom.
            p.lanes = true;
            for (size_t c : d) {
                unsigned seen = 0;
                for (const auto &r : rows) {
                    double v = num(r[c]);
                    if (std::isfinite(v))
                        seen |= static_cast<unsigned>(static_cast<long>(v)) & 0xFFFFu;
                }
                if (!seen)
                    seen = 1;
                std::string name = parsed[c].rung.substr(0, parsed[c].rung.find('.')) + " " + parsed[c].label;
                for (int b = 0; b < 16; ++b)
                    if ((seen >> b) & 1u)
                        p.traces.push_back(
                            {c, b, static_cast<double>(p.traces.size()), name + "." + std::to_string(b)});
            }
        }
        for (const auto &r : rows)
            for (const std::string &rung : p.rungs) {
                unsigned code = codeOf(r, rung);
                if (code && std::find(p.codes.begin(), p.codes.end(), code) == p.codes.end())
                    p.codes.push_back(code);
            }
        std::sort(p.codes.begin(), p.codes.end());
    }
    std::vector<unsigned> allCodes;
    for (auto &kv : panels)
        for (unsigned c : kv.second.codes)
            if (std::find(allCodes.begin(), allCodes.end(), c) == allCodes.end())
                allCodes.push_back(c);
    std::sort(allCodes.begin(), allCodes.end());

    // A value as drawn: a gap where the rung did not run or its exchange
    // failed (the operand then holds an old value) and for an input without
    // a value (an open thermocouple: -9999.9 in the decimal form, its
    // "ErrChan:" bit in the hex form); a bit as its lane's low or high level.
    auto drawn = [&](const std::vector<std::string> &r, const Trace &t) -> double {
        const Column &c = parsed[t.column];
        const RungColumns &own = rungCols[c.rung];
        if (own.on && num(r[own.on]) == 0)
            return NAN;
        unsigned code = codeOf(r, c.rung);
        if (code != 0 && code != EC_AIN_LENGTH)
            return NAN;
        double v = num(r[t.column]);
        if (!std::isfinite(v))
            return NAN;
        if (t.bit >= 0)
            return t.base + (((static_cast<unsigned>(static_cast<long>(v)) >> t.bit) & 1u) ? 0.7 : 0.0);
        if (c.label == "AIN") {
            if (std::fabs(v + 9999.9) < 0.05)
                return NAN;
            const RungColumns &rc = rungCols[c.rung];
            if (rc.errChan && c.element >= 0 && c.element < 16 &&
                ((static_cast<unsigned>(num(r[rc.errChan])) >> c.element) & 1u))
                return NAN;
        }
        return v;
    };
    // A panel's marks sit at its bottom, below its lowest value; a panel
    // whose values never change gets a range of its own (gnuplot would warn
    // of an empty one).
    auto spread = [&](const Panel &p, double *lo, double *hi) {
        *lo = INFINITY;
        *hi = -INFINITY;
        for (const auto &r : rows)
            for (const Trace &t : p.traces) {
                double v = drawn(r, t);
                if (std::isfinite(v)) {
                    *lo = std::min(*lo, v);
                    *hi = std::max(*hi, v);
                }
            }
        if (!std::isfinite(*lo))
            *lo = *hi = 0;
    };
    double scanLo = INFINITY, scanHi = -INFINITY;
    for (const auto &r : rows) {
        double v = num(r[2]);
        if (std::isfinite(v)) {
            scanLo = std::min(scanLo, v);
            scanHi = std::max(scanHi, v);
        }
    }
    if (!std::isfinite(scanLo))
        scanLo = scanHi = 0;
    // Just below the lowest value, off the lines.
    auto below = [](double lo, double hi) { return lo - (hi > lo ? (hi - lo) * 0.04 : 0.5); };
    for (auto &kv : panels) {
        double lo, hi;
        spread(kv.second, &lo, &hi);
        kv.second.markAt = kv.second.lanes ? -0.4 : below(lo, hi);
    }
    double scanMark = below(scanLo, scanHi);

    std::string data = image + ".data";
    FILE *df = fopen(data.c_str(), "w");
    if (!df) {
        fprintf(stderr, "veldran-host: plot: cannot write %s\n", data.c_str());
        return 1;
    }
    // Per row: the seconds of the run, the scan time, the scan-time panel's
    // marks (one column per code), then per panel its marks and its traces.
    double t0 = secondsOf(rows[0][0]);
    auto field = [](double v) {
        char b[32];
        snprintf(b, sizeof b, " %.7g", v);
        return std::isfinite(v) ? std::string(b) : std::string(" NaN");
    };
    for (const auto &r : rows) {
        std::vector<unsigned> inRow;
        std::string fields;
        for (auto &kv : panels) {
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
        for (unsigned code : allCodes)
            scanMarks += field(std::find(inRow.begin(), inRow.end(), code) != inRow.end() ? scanMark : NAN);
        double t = secondsOf(r[0]) - t0;
        fprintf(df, "%.3f %s%s%s\n", std::isfinite(t) ? t : num(r[1]), r[2].c_str(), scanMarks.c_str(), fields.c_str());
    }
    fclose(df);

    // Each panel 240 pixels high, more when its lanes need it.
    std::vector<int> heights;
    for (auto &kv : panels)
        heights.push_back(kv.second.lanes ? std::max(240, 60 + 18 * static_cast<int>(kv.second.traces.size())) : 240);
    heights.push_back(240);
    int height = 0;
    for (int h : heights)
        height += h;
    auto yrange = [](double lo, double hi) {
        char b[96];
        if (lo < hi)
            return std::string("set autoscale y\n");
        snprintf(b, sizeof b, "set yrange [%.7g:%.7g]\n", lo - 1, hi + 1);
        return std::string(b);
    };
    auto marks = [&](const std::vector<unsigned> &codes, size_t first, const std::string &d) {
        std::string m;
        for (size_t k = 0; k < codes.size(); ++k)
            m += ", " + d + " using 1:" + std::to_string(first + k) + " with points pt " +
                 std::to_string(MARK_TYPES[k % std::size(MARK_TYPES)]) + " ps 0.9 lc rgb 'red' title " +
                 quoted(errorLabel(codes[k]));
        return m;
    };
    std::string script = std::string(ext == ".png" ? "set terminal pngcairo" : "set terminal svg") + " size 1000," +
                         std::to_string(height) + " noenhanced font ',9'\n" + "set output " + quoted(image) + "\n" +
                         "set multiplot\nset key outside right top\nset grid\nset xlabel 's'\n";
    std::string d = quoted(data);
    size_t col = 3 + allCodes.size(); // 1 seconds, 2 scan time, then the scan-time panel's marks
    int top = height;
    size_t k = 0;
    auto place = [&](int h) {
        top -= h;
        char b[96];
        snprintf(b, sizeof b, "set origin 0,%.6f\nset size 1,%.6f\n", static_cast<double>(top) / height,
                 static_cast<double>(h) / height);
        return std::string(b);
    };
    for (auto &kv : panels) {
        const Panel &p = kv.second;
        script += place(heights[k++]);
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
            lines += (lines.empty() ? "" : ", ") + d + " using 1:" + std::to_string(col++) +
                     (p.lanes ? " with steps lc rgb '#1f4e9a' notitle" : " with lines title " + quoted(t.title));
        }
        script += lines + marks(p.codes, markCol, d) + "\n";
    }
    script += place(heights.back()) + yrange(scanLo, scanHi) +
              "set ytics autofreq\nset title 'scan time'\nset ylabel 'ms'\nplot " + d +
              " using 1:2 with lines title 'scan_ms'" + marks(allCodes, 3, d) + "\nunset multiplot\n";
    FILE *gp = popen("gnuplot", "w");
    int st = -1;
    if (gp) {
        fputs(script.c_str(), gp);
        st = pclose(gp);
    }
    remove(data.c_str());
    if (st != 0) {
        fprintf(stderr, "veldran-host: plot: gnuplot could not make %s (the Debian package gnuplot-nox brings it)\n",
                image.c_str());
        return 2;
    }
    printf("plot: %s, %zu scans, %zu module%s\n", image.c_str(), rows.size(), panels.size(),
           panels.size() == 1 ? "" : "s");
    return 0;
}
#endif

} // namespace vhost
