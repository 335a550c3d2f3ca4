// The log, the live view and the trend plot of the reference host.
#include "watch.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>

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
    if (!moduleSaid_.empty()) {
        lines.push_back("the module said:");
        for (const std::string &s : moduleSaid_)
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

struct Panel {
    std::string address;          // "01"
    std::string instrs;           // "I7017 I7024"
    std::vector<size_t> series;   // log columns plotted
    std::vector<size_t> on, code; // the rungs' state and "ErrCode:" columns
};

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
    // Columns "R0.I7017@01.AIN[3]": a panel per address.
    std::map<std::string, Panel> panels;
    std::map<std::string, std::vector<size_t>> digital, times; // when a module has no analog values
    for (size_t i = 3; i < cols.size(); ++i) {
        const std::string &c = cols[i];
        size_t at = c.find('@'), dot1 = c.find('.'), dot2 = c.rfind('.');
        if (at == std::string::npos || dot1 == std::string::npos || dot2 <= at)
            continue;
        std::string addr = c.substr(at + 1, dot2 - at - 1);
        std::string instr = c.substr(dot1 + 1, at - dot1 - 1);
        std::string label = c.substr(dot2 + 1);
        Panel &p = panels[addr];
        p.address = addr;
        if (p.instrs.find(instr) == std::string::npos)
            p.instrs += (p.instrs.empty() ? "" : " ") + instr;
        if (label == "on")
            p.on.push_back(i);
        else if (label == "ErrCode")
            p.code.push_back(i);
        else if (label.rfind("AIN", 0) == 0 || label == "AOUT")
            p.series.push_back(i);
        else if (label == "DIN" || label == "DOUT")
            digital[addr].push_back(i);
        else if (label == "ms")
            times[addr].push_back(i);
    }
    for (auto &kv : panels) {
        if (kv.second.series.empty())
            kv.second.series = digital[kv.first];
        if (kv.second.series.empty()) // a module only asked for its status: its response times
            kv.second.series = times[kv.first];
    }

    // Rows: the seconds of the run, the scan time, and per panel its values.
    std::vector<std::vector<std::string>> rows;
    while (std::getline(in, line))
        if (!line.empty()) {
            std::vector<std::string> v = splitCsv(line);
            if (v.size() == cols.size()) // a row cut short by a killed run is left out
                rows.push_back(v);
        }
    if (rows.empty()) {
        fprintf(stderr, "veldran-host: plot: %s has no scans\n", csv.c_str());
        return 1;
    }
    double t0 = secondsOf(rows[0][0]);
    auto num = [](const std::string &s) {
        char *end = nullptr;
        double v = strtod(s.c_str(), &end);
        return end && end != s.c_str() ? v : NAN;
    };
    // A mark sits at the bottom of its panel: the smallest value shown.  A
    // panel whose values never change gets a range of its own (gnuplot
    // would warn of an empty one).
    auto spread = [&](const std::vector<size_t> &series, double *lo, double *hi) {
        *lo = INFINITY;
        *hi = -INFINITY;
        for (const auto &r : rows)
            for (size_t c : series) {
                double v = num(r[c]);
                if (std::isfinite(v)) {
                    *lo = std::min(*lo, v);
                    *hi = std::max(*hi, v);
                }
            }
        if (!std::isfinite(*lo))
            *lo = *hi = 0;
    };
    auto yrange = [](double lo, double hi) {
        if (lo < hi)
            return std::string("set autoscale y\n");
        char b[96];
        snprintf(b, sizeof b, "set yrange [%.7g:%.7g]\n", lo - 1, hi + 1);
        return std::string(b);
    };
    auto lowest = [&](const std::vector<size_t> &series) {
        double lo, hi;
        spread(series, &lo, &hi);
        return lo;
    };
    std::string data = image + ".data";
    FILE *df = fopen(data.c_str(), "w");
    if (!df) {
        fprintf(stderr, "veldran-host: plot: cannot write %s\n", data.c_str());
        return 1;
    }
    std::vector<double> panelLow;
    for (auto &kv : panels)
        panelLow.push_back(lowest(kv.second.series));
    double scanLow = lowest({2});
    for (const auto &r : rows) {
        bool any = false;
        std::string fields;
        size_t k = 0;
        for (auto &kv : panels) {
            const Panel &p = kv.second;
            bool failed = false;
            for (size_t j = 0; j < p.code.size() && j < p.on.size(); ++j)
                failed |= num(r[p.on[j]]) != 0 && num(r[p.code[j]]) != 0;
            any |= failed;
            char b[32];
            snprintf(b, sizeof b, " %.6g", panelLow[k++]);
            fields += failed ? std::string(b) : std::string(" NaN");
            for (size_t c : p.series) {
                double v = num(r[c]);
                snprintf(b, sizeof b, " %.7g", v);
                fields += std::isfinite(v) ? std::string(b) : std::string(" NaN");
            }
        }
        double t = secondsOf(r[0]) - t0;
        fprintf(df, "%.3f %s %s%s\n", std::isfinite(t) ? t : num(r[1]), r[2].c_str(),
                any ? std::to_string(scanLow).c_str() : "NaN", fields.c_str());
    }
    fclose(df);

    int height = 240 * static_cast<int>(panels.size() + 1);
    std::string script = std::string(ext == ".png" ? "set terminal pngcairo" : "set terminal svg") + " size 1000," +
                         std::to_string(height) + " noenhanced font ',9'\n" + "set output " + quoted(image) + "\n" +
                         "set multiplot layout " + std::to_string(panels.size() + 1) +
                         ",1\n"
                         "set key outside right top\nset grid\nset xlabel 's'\n";
    std::string d = quoted(data);
    size_t col = 4; // 1 seconds, 2 scan time, 3 the scan's mark
    for (auto &kv : panels) {
        const Panel &p = kv.second;
        double lo, hi;
        spread(p.series, &lo, &hi);
        script += yrange(lo, hi) + "set title " + quoted("module " + p.address + "h (" + p.instrs + ")") + "\nplot ";
        size_t mark = col++;
        for (size_t c : p.series)
            script += d + " using 1:" + std::to_string(col++) + " with lines title " + quoted(cols[c]) + ", ";
        script +=
            d + " using 1:" + std::to_string(mark) + " with points pt 7 ps 0.8 lc rgb 'red' title 'non-zero ErrCode'\n";
    }
    double slo, shi;
    spread({2}, &slo, &shi);
    script += yrange(slo, shi) + "set title 'scan time'\nset ylabel 'ms'\nplot " + d +
              " using 1:2 with lines title 'scan_ms', " + d +
              " using 1:3 with points pt 7 ps 0.8 lc rgb 'red' title 'a non-zero ErrCode'\n"
              "unset multiplot\n";
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
