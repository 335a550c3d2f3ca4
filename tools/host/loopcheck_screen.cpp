// The loop check's terminal screen; see loopcheck_screen.h.
#include "loopcheck_screen.h"

#include <algorithm>

#include "platform.h"

namespace vhost {

namespace {

constexpr size_t SAID_KEPT = 50;
constexpr int REFRESH_MS = 250; // how often an input is read again while no key comes
constexpr char ESCAPE = 0x1b, BACKSPACE = 0x08, DELETE = 0x7f;

std::string counts(const LoopResults &r)
{
    int passed = 0, failed = 0, skipped = 0, open = 0;
    for (const PointResult &p : r.points)
        (p.result == "passed" ? passed : p.result == "failed" ? failed : p.result == "skipped" ? skipped : open)++;
    return "passed " + std::to_string(passed) + ", failed " + std::to_string(failed) + ", skipped " +
           std::to_string(skipped) + ", open " + std::to_string(open);
}

} // namespace

void LoopScreen::say(const std::string &line)
{
    said_.push_back(line);
    if (said_.size() > SAID_KEPT)
        said_.pop_front();
}

std::vector<std::string> LoopScreen::lines(const LoopCheck &check, int columns, int rows) const
{
    const vsim::Point &p = check.point();
    const PointResult &r = check.result();
    std::vector<std::string> l = {
        "loop check " + title_ + "  point " + std::to_string(check.positionOf()) + " of " +
            std::to_string(check.pointsChecked()) + "  (" + counts(check.results()) + ")",
        "",
        p.tag + "  " + p.description,
        pointPlace(design_, p),
        (check.forced().empty() ? std::string(p.output() ? "holds:  " : "value:  ")
                                : "forced to " + check.forced() + ":  ") +
            check.shown(),
        "result: " + r.result + (r.note.empty() ? "" : " (" + r.note + ")"),
        "",
        "p passed  f failed  s skipped  n/Enter next  b back  q quit",
    };
    if (p.output())
        l.push_back(p.analog() ? "type a value (" + (p.unit.empty() ? std::string("module units") : p.unit) +
                                     ") and Enter to force it"
                               : "1 or 0 forces the bit");
    if (entry_ != Entry::None)
        l.push_back((entry_ == Entry::Note ? "what failed: " : "value: ") + typed_ + "_");
    l.push_back("");
    // What happened last, as much of it as fits below.
    const size_t room = rows > static_cast<int>(l.size()) ? static_cast<size_t>(rows) - l.size() : 0;
    for (size_t i = said_.size() > room ? said_.size() - room : 0; i < said_.size(); ++i)
        l.push_back(said_[i]);
    if (rows > 0 && l.size() > static_cast<size_t>(rows))
        l.resize(static_cast<size_t>(rows));
    for (std::string &s : l)
        if (columns > 0 && s.size() > static_cast<size_t>(columns))
            s.resize(static_cast<size_t>(columns));
    return l;
}

void LoopScreen::draw(const LoopCheck &check)
{
    if (check.over())
        return;
    std::string s = "\x1b[H";
    for (const std::string &l : lines(check, columns_, rows_))
        s += l + "\x1b[K\r\n";
    s += "\x1b[J";
    fputs(s.c_str(), out_);
    fflush(out_);
}

bool LoopScreen::key(LoopCheck &check, char c)
{
    const bool enter = c == '\r' || c == '\n';
    if (entry_ != Entry::None) {
        if (c == ESCAPE) {
            entry_ = Entry::None;
        } else if (c == BACKSPACE || c == DELETE) {
            if (!typed_.empty())
                typed_.pop_back();
        } else if (enter) {
            const std::string line = (entry_ == Entry::Note ? "fail " : "set ") + typed_;
            entry_ = Entry::None;
            if (!typed_.empty())
                check.command(line);
        } else if (c >= ' ') {
            typed_ += c;
        }
        return !check.over();
    }
    const vsim::Point &p = check.point();
    typed_.clear();
    if (p.output() && !p.analog() && (c == '0' || c == '1'))
        check.command(std::string("set ") + c);
    else if (p.output() && p.analog() && (isdigit(static_cast<unsigned char>(c)) || c == '-' || c == '.')) {
        entry_ = Entry::Value;
        typed_ = c;
    } else if (c == 'f')
        entry_ = Entry::Note;
    else if (c == 'p' || c == 's' || c == 'n' || c == 'b' || c == 'q' || enter) {
        const char *command = c == 'p' ? "pass" : c == 's' ? "skip" : c == 'b' ? "back" : c == 'q' ? "quit" : "next";
        check.command(command);
    }
    return !check.over();
}

void LoopScreen::run(LoopCheck &check, volatile std::sig_atomic_t *stop)
{
    stdoutTerminal(&columns_, &rows_);
    watchTerminalSize();
    stdinKeys(true);
    fputs("\x1b[?25l\x1b[2J", out_);
    draw(check);
    char buf[64];
    while (!check.over() && !*stop) {
        const int n = readInput(0, buf, sizeof buf, REFRESH_MS);
        if (n < 0)
            break;
        bool again = terminalResized(&columns_, &rows_);
        if (again)
            fputs("\x1b[2J", out_);
        for (int i = 0; i < n && !check.over(); ++i)
            key(check, buf[i]);
        if (n == 0 && !*stop)
            again = check.refresh() || again;
        if (n > 0 || again)
            draw(check);
    }
    fputs("\x1b[?25h\r\n", out_);
    fflush(out_);
    stdinKeys(false);
}

} // namespace vhost
