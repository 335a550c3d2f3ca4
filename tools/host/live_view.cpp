// The live view: the screen of a ladder run, redrawn in place.
#include "live_view.h"

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
    std::istringstream ml(moduleLines(runner.stats(), true));
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

} // namespace vhost
