// The monitor's live screen.
#include "monitor_view.h"

#include <algorithm>

#include "screen.h"

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
    if (key != BROADCAST) // a broadcast is never answered
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

std::vector<std::string> MonitorView::frame(const MonitorStats &st, int64_t nowUs) const
{
    const size_t width = static_cast<size_t>(screen_.columns());
    long faulted = 0;
    for (const auto &kv : st.addresses())
        faulted += kv.second.faulted();
    char head[160];
    std::snprintf(head, sizeof head, "monitor  %.1f s  %ld exchanges, %ld faults  Ctrl-C ends",
                  static_cast<double>(nowUs) / 1e6, st.exchanges(), faulted);
    std::vector<std::string> lines = wrapText(head, width, 2);
    // The hints, then the last fault, in whole entries, on up to half the
    // rows below the head when the modules need the rest.
    std::vector<std::vector<std::string>> bottom;
    for (const std::string &h : st.hints())
        bottom.push_back(wrapText(h, width, 6));
    if (!st.lastFault().empty()) {
        bottom.push_back(wrapText("  " + st.lastFault(), width, 4));
        bottom.back().insert(bottom.back().begin(), "last fault:");
    }
    std::vector<std::vector<std::string>> blocks;
    size_t modules = 0;
    for (const auto &[key, s] : st.addresses()) {
        blocks.push_back(block(key, s, nowUs, width));
        modules += blocks.back().size();
    }
    if (blocks.empty())
        blocks.push_back({"  nothing heard yet"});
    const size_t rows = screen_.rows() > 0 ? static_cast<size_t>(screen_.rows()) : static_cast<size_t>(-1);
    const size_t avail = rows > lines.size() ? rows - lines.size() : 0;
    size_t below = 0, kept = 0;
    for (; kept < bottom.size(); ++kept) {
        const size_t n = bottom[kept].size();
        if (below + n > avail || (below + n + modules > avail && below + n > avail / 2))
            break;
        below += n;
    }
    size_t left = avail - below;
    for (size_t i = 0; i < blocks.size(); ++i) {
        const bool last = i + 1 == blocks.size();
        // Room for this block, and for the line that says what is left out.
        if (blocks[i].size() > left || (!last && blocks[i].size() + 1 > left)) {
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
    for (size_t k = 0; k < kept; ++k)
        lines.insert(lines.end(), bottom[k].begin(), bottom[k].end());
    if (lines.size() > rows)
        lines.resize(rows);
    return lines;
}

void MonitorView::draw(const MonitorStats &st, int64_t nowUs, bool force)
{
    if (screen_.due(nowUs, force))
        screen_.draw(frame(st, nowUs), nowUs);
}

} // namespace vhost::monitor
