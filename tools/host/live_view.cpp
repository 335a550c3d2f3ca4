// The live view: the screen of a ladder run, fitted to the terminal and
// redrawn in place.
#include "live_view.h"

#include <algorithm>
#include <chrono>
#include <sstream>

#include "summary.h"

namespace vhost {

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

// One part of the screen: a heading, shown only above one of its entries
// at least, and entries of one or more lines each.  Where the screen is
// short, a part keeps its first entries, or (`newest`) its last.
struct Part {
    std::vector<std::string> heading;
    std::vector<std::vector<std::string>> entries;
    bool newest = false;
    size_t shown = 0; // entries on the screen

    size_t lines() const
    {
        size_t n = heading.size();
        for (const auto &e : entries)
            n += e.size();
        return entries.empty() ? 0 : n;
    }
    bool whole() const { return shown == entries.size(); }
};

// The parts in the order they are drawn.
enum PartIndex { MODULES, HINT, RUNGS, SAID, FAILURES, PARTS };

// And the order they get the rows in: the modules, with the hint about the
// line as a whole, matter most; then the module's last failure (its last
// three lines), the rungs, its earlier failures, and its last lines, most
// of them echoes of good reads.
struct Tier {
    PartIndex part;
    size_t most; // entries of the part, at most, up to this tier
};
constexpr size_t ALL = static_cast<size_t>(-1);
constexpr Tier PRIORITY[] = {{HINT, ALL}, {MODULES, ALL}, {FAILURES, 3}, {RUNGS, ALL}, {FAILURES, ALL}, {SAID, ALL}};

// Gives each part, tier by tier, as many entries as fit into `rows`; a
// part stops at its first entry that does not fit.
void share(Part (&parts)[PARTS], size_t rows)
{
    bool stopped[PARTS] = {};
    for (Part &p : parts)
        p.shown = 0;
    for (const Tier &t : PRIORITY) {
        Part &p = parts[t.part];
        while (!stopped[t.part] && p.shown < std::min(t.most, p.entries.size())) {
            const auto &e = p.entries[p.newest ? p.entries.size() - 1 - p.shown : p.shown];
            size_t need = e.size() + (p.shown == 0 ? p.heading.size() : 0);
            if (need > rows) {
                stopped[t.part] = true;
                break;
            }
            rows -= need;
            ++p.shown;
        }
    }
}

// A line of the module's: on one line with what the host puts before it
// when that fits, else on lines of its own below it.
std::vector<std::string> tracedLines(const TracedLine &t, size_t width)
{
    std::string one = "  " + t.joined();
    if (one.size() <= width || t.head.empty())
        return wrapText(one, width, 4);
    std::vector<std::string> lines = wrapText("  " + t.head, width, 4);
    for (const std::string &l : wrapText("    " + t.text, width, 4))
        lines.push_back(l);
    return lines;
}

// "(12 more rungs, R6 to R17: a taller terminal shows them)", as much of it
// as the width takes.
std::string moreLine(size_t modules, size_t firstRung, size_t rungs, size_t width)
{
    auto count = [](size_t n, const char *what) { return std::to_string(n) + " more " + what + (n == 1 ? "" : "s"); };
    std::string bare, named;
    if (modules > 0)
        bare = named = count(modules, "module");
    if (rungs > 0) {
        std::string last = "R" + std::to_string(firstRung + rungs - 1);
        std::string range = rungs == 1 ? last : "R" + std::to_string(firstRung) + " to " + last;
        bare += (bare.empty() ? "" : " and ") + count(rungs, "rung");
        named += (named.empty() ? "" : " and ") + count(rungs, "rung") + ", " + range;
    }
    if (bare.empty())
        return "(more: a taller terminal shows it)";
    for (const std::string &s : {"(" + named + ": a taller terminal shows them)", "(" + named + ")", "(" + bare + ")"})
        if (s.size() <= width)
            return s;
    return bare.substr(0, width);
}

// "scan 12  48.3 ms  (min 41.0 ms, median 43.2 ms, max 95.3 ms)  Ctrl-C
// ends", shorter where the width asks for it.
std::string headLine(const TimeStats &t, long number, double ms, size_t width)
{
    std::string scanText = "scan " + std::to_string(number) + "  " + fmtMs(ms);
    std::string spread = "  (" + timeSpread(t) + ")", brief = spread;
    if (!t.empty()) {
        char buf[80];
        snprintf(buf, sizeof buf, "  (%.1f/%.1f/%.1f ms)", t.min(), t.median(), t.max());
        brief = buf;
    }
    const std::string ends = "  Ctrl-C ends";
    for (const std::string &s :
         {scanText + spread + ends, scanText + spread, scanText + brief + ends, scanText + brief, scanText})
        if (s.size() <= width)
            return s;
    return scanText.substr(0, width);
}

} // namespace

void LiveView::moduleText(const std::string &text, const std::string &source)
{
    // The module's last three lines stay on the screen.
    for (const std::string &l : traceLines(text)) {
        moduleSaid_.push_back({source.empty() ? "" : source + ":", l});
        if (moduleSaid_.size() > 3)
            moduleSaid_.erase(moduleSaid_.begin());
    }
}

std::vector<std::vector<std::string>> LiveView::rungEntries(const Runner &runner)
{
    std::vector<std::vector<std::string>> entries(runner.rungs());
    shown_.resize(runner.rungs());
    char buf[160];
    for (size_t r = 0; r < runner.rungs(); ++r) {
        snprintf(buf, sizeof buf, "R%-2zu %-10s %-3s %6.1f ms", r, runner.rungId(r).c_str(),
                 runner.lastActive(r) ? "on" : "off", runner.lastMs(r));
        std::vector<std::string> texts = runner.operandTexts(r);
        std::vector<Token> words;
        for (size_t i = 0; i < texts.size(); ++i) {
            bool changed = i < shown_[r].size() && shown_[r][i] != texts[i];
            // "ErrCode=1005 TIMEOUT" stays one word.
            words.push_back({texts[i], changed});
        }
        shown_[r] = texts;
        wrap(entries[r], buf, words, static_cast<size_t>(screen_.columns()), 6);
    }
    return entries;
}

std::vector<std::string> LiveView::frame(const Runner &runner, long number, double ms)
{
    const size_t width = static_cast<size_t>(screen_.columns());
    const RunStats &st = runner.stats();
    Part parts[PARTS];
    parts[MODULES].heading =
        wrapText("modules: exchanges, codes, response min/median/max, longest failure run", width, 2);
    std::istringstream ml(moduleLines(st, true));
    for (std::string l; std::getline(ml, l);)
        parts[MODULES].entries.push_back(wrapText(l, width, 5));
    if (st.modules.empty())
        parts[MODULES].entries.push_back({"  none addressed yet"});
    if (!st.lineWideLast.empty() && st.lineWideLastScan == number)
        parts[HINT].entries.push_back(wrapText(lineWideHint(st.lineWideLast), width, 2));
    parts[RUNGS].entries = rungEntries(runner);
    parts[SAID].heading = {"the module said:"};
    for (const TracedLine &t : moduleSaid_)
        parts[SAID].entries.push_back(tracedLines(t, width));
    parts[FAILURES].heading = {""}; // says how many are shown
    if (failures_)
        for (const TracedLine &t : failures_->recent())
            parts[FAILURES].entries.push_back(tracedLines(t, width));
    parts[SAID].newest = parts[FAILURES].newest = true;

    // Below the head line, everything when it fits; else the rows by
    // priority, and a line that says which modules and rungs are left out.
    size_t rows = screen_.rows() > 0 ? static_cast<size_t>(screen_.rows()) - 1 : 0, all = 0;
    for (const Part &p : parts)
        all += p.lines();
    share(parts, screen_.rows() > 0 && all > rows ? rows : all);
    bool cut = !parts[MODULES].whole() || !parts[HINT].whole() || !parts[RUNGS].whole();
    if (cut && rows > 0)
        share(parts, rows - 1);

    std::vector<std::string> lines = {headLine(st.scanMs, number, ms, width)};
    if (screen_.rows() == 1)
        return lines;
    for (int i = 0; i < PARTS; ++i) {
        const Part &p = parts[i];
        if (p.shown > 0) {
            if (i == FAILURES)
                lines.push_back("failures the module traced, the last " + std::to_string(p.shown) + ":");
            else
                lines.insert(lines.end(), p.heading.begin(), p.heading.end());
            size_t from = p.newest ? p.entries.size() - p.shown : 0;
            for (size_t k = from; k < from + p.shown; ++k)
                lines.insert(lines.end(), p.entries[k].begin(), p.entries[k].end());
        }
        if (i == RUNGS && cut) {
            size_t modules = st.modules.size() - std::min(st.modules.size(), parts[MODULES].shown);
            lines.push_back(moreLine(modules, p.shown, p.entries.size() - p.shown, width));
        }
    }
    return lines;
}

void LiveView::scan(const Runner &runner, long number, double ms, bool force)
{
    const int64_t nowUs =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    if (screen_.due(nowUs, force))
        screen_.draw(frame(runner, number, ms), nowUs);
}

} // namespace vhost
