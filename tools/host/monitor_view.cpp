// The monitor's live screen.
#include "monitor_view.h"

#include <algorithm>

#include "live_view.h"

namespace vhost::monitor {

namespace {

// "0.4 s ago", "never heard".
std::string heardText(int64_t heardUs, int64_t nowUs)
{
    if (heardUs < 0)
        return "never heard";
    char buf[48];
    std::snprintf(buf, sizeof buf, "heard %.1f s ago",
                  static_cast<double>(std::max<int64_t>(0, nowUs - heardUs)) / 1e6);
    return buf;
}

// One address's block: its figures on the first line, its faults and its
// last values below.
std::vector<std::string> block(int key, const AddressStats &s, int64_t nowUs, size_t width)
{
    std::string head = keyText(key) + "  " + (s.instruction.empty() ? "-" : s.instruction) + "  " +
                       std::to_string(s.exchanges) + " exchanges  ";
    if (s.replyMs.empty())
        head += "-";
    else {
        char buf[80];
        std::snprintf(buf, sizeof buf, "%.1f/%.1f/%.1f ms", s.replyMs.median(), s.replyMs.percentile(99),
                      s.replyMs.max());
        head += buf;
    }
    head += "  " + heardText(s.heardUs, nowUs);
    std::vector<std::string> lines = wrapText(head, width, 5);
    if (s.faulted() > 0)
        for (const std::string &l : wrapText("     " + faultCounts(s.faults), width, 5))
            lines.push_back(l);
    if (!s.values.empty())
        for (const std::string &l : wrapText("     " + s.values, width, 5))
            lines.push_back(l);
    return lines;
}

} // namespace

void MonitorView::size(int columns, int rows)
{
    cols_ = columns < 40 ? 40 : columns;
    rows_ = rows < 0 ? 0 : rows;
}

void MonitorView::resize(int columns, int rows)
{
    size(columns, rows);
    resized_ = true;
}

void MonitorView::begin()
{
    std::fputs("\x1b[?25l\x1b[2J\x1b[H", out_);
    std::fflush(out_);
}

void MonitorView::end()
{
    // The summary comes on the line below the screen.
    std::fputs(openLine_ ? "\x1b[0m\x1b[?25h\n" : "\x1b[0m\x1b[?25h", out_);
    openLine_ = false;
    std::fflush(out_);
}

std::vector<std::string> MonitorView::frame(const MonitorStats &st, int64_t nowUs) const
{
    const size_t width = static_cast<size_t>(cols_);
    long faulted = 0;
    for (const auto &kv : st.addresses())
        faulted += kv.second.faulted();
    char head[160];
    std::snprintf(head, sizeof head, "monitor  %.1f s  %ld exchanges, %ld faults  Ctrl-C ends",
                  static_cast<double>(nowUs) / 1e6, st.exchanges(), faulted);
    std::vector<std::string> top = wrapText(head, width, 2);
    std::vector<std::string> bottom; // the hints and the last fault
    for (const std::string &h : st.hints())
        for (const std::string &l : wrapText(h, width, 6))
            bottom.push_back(l);
    if (!st.lastFault().empty()) {
        bottom.push_back("last fault:");
        for (const std::string &l : wrapText("  " + st.lastFault(), width, 4))
            bottom.push_back(l);
    }
    std::vector<std::vector<std::string>> blocks;
    for (const auto &[key, s] : st.addresses())
        blocks.push_back(block(key, s, nowUs, width));
    if (blocks.empty())
        blocks.push_back({"  nothing heard yet"});

    // The head, then as many blocks as fit with the bottom below them; the
    // bottom goes (its last lines first) before a module's block does.
    size_t rows = rows_ > 0 ? static_cast<size_t>(rows_) : static_cast<size_t>(-1);
    size_t need = top.size() + bottom.size();
    for (const auto &b : blocks)
        need += b.size();
    if (need > rows) {
        size_t modules = 0;
        for (const auto &b : blocks)
            modules += b.size();
        const size_t room = rows > top.size() + modules ? rows - top.size() - modules : 0;
        bottom.resize(std::min(bottom.size(), room));
    }
    std::vector<std::string> lines = top;
    size_t left = rows > lines.size() + bottom.size() ? rows - lines.size() - bottom.size() : 0;
    for (size_t i = 0; i < blocks.size(); ++i) {
        const bool last = i + 1 == blocks.size();
        if (blocks[i].size() + (last ? 0 : 1) > left && !(last && blocks[i].size() <= left)) {
            const size_t more = blocks.size() - i;
            if (left > 0)
                lines.push_back(wrapText("(" + std::to_string(more) + " more address" + (more == 1 ? "" : "es") +
                                             ": a taller terminal shows them)",
                                         width, 2)[0]);
            break;
        }
        lines.insert(lines.end(), blocks[i].begin(), blocks[i].end());
        left -= blocks[i].size();
    }
    lines.insert(lines.end(), bottom.begin(), bottom.end());
    if (rows_ > 0 && lines.size() > rows)
        lines.resize(rows);
    return lines;
}

void MonitorView::draw(const MonitorStats &st, int64_t nowUs, bool force)
{
    if (drawn_ && !force && !resized_ && nowUs - lastUs_ < 200000)
        return;
    drawn_ = true;
    lastUs_ = nowUs;
    const std::string out = screenText(frame(st, nowUs), cols_, rows_, resized_, &openLine_);
    resized_ = false;
    std::fwrite(out.data(), 1, out.size(), out_);
    std::fflush(out_);
}

} // namespace vhost::monitor
