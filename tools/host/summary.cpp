// The texts of a ladder run's statistics: the summary, the module lines and
// the spread of times.
#include "summary.h"

#include <cstdio>

#include "errors.h"
#include "ladder.h"

namespace vhost {

namespace {

// What time-outs at several modules in one scan point at.
const char *const LINE_WIDE_CAUSES =
    "that looks line-wide rather than each module's own fault: a module that babbles over its neighbours' replies, "
    "the wiring (A/B, termination), or the line's speed (BAUD=)";

std::string addressList(const std::vector<int> &addresses)
{
    std::string list;
    for (int a : addresses)
        list += (list.empty() ? "" : ", ") + addressText(a);
    return list;
}

// "channel 2", "channels 2, 5" of a mask, bit i for channel i.
std::string channelList(unsigned mask)
{
    std::string list;
    int n = 0;
    for (int i = 0; i < 16; ++i)
        if (mask & (1u << i)) {
            list += (list.empty() ? "" : ", ") + std::to_string(i);
            ++n;
        }
    return (n == 1 ? "channel " : "channels ") + list;
}

} // namespace

std::string ladderErrorsText(const Apart &a)
{
    std::string s = "ladder errors: " + std::to_string(a.ladderErrorCount()) + " (";
    bool first = true;
    for (const auto &kv : a.ladderErrors) {
        s += (first ? "" : ", ") + errorLabel(kv.first) + " x " + std::to_string(kv.second);
        first = false;
    }
    return s + ")";
}

std::string inputFaultsText(const Apart &a)
{
    return "input faults: " + std::to_string(a.inputFaults) + " (open input, " + channelList(a.channels) + ")";
}

namespace {

// "; ladder errors: 3 (1016 BAD_CHANNEL x 3)" or "".
std::string ladderErrorsPart(const Apart &a) { return a.ladderErrors.empty() ? "" : "; " + ladderErrorsText(a); }

// "01h  20 exch  0 OK x18 1005 TIMEOUT x2  5.0/5.1/40.9 ms  run 2"
std::string compactLine(int address, const ModuleStats &m)
{
    std::string s = addressText(address) + "  " + std::to_string(m.exchanges) + " exch ";
    for (auto &c : m.codes)
        s += " " + errorLabel(c.first) + " x" + std::to_string(c.second);
    char buf[96];
    if (!m.ms.empty())
        snprintf(buf, sizeof buf, "  %.1f/%.1f/%.1f ms", m.ms.min(), m.ms.median(), m.ms.max());
    else
        buf[0] = '\0';
    s += buf + std::string("  run ") + std::to_string(m.longestFailing);
    if (m.apart.inputFaults)
        s += "  input faults x" + std::to_string(m.apart.inputFaults);
    if (!m.apart.ladderErrors.empty())
        s += "  ladder errors x" + std::to_string(m.apart.ladderErrorCount());
    return s + "\n";
}

// "  01h: 20 exchanges; 0 OK x 18, 1005 TIMEOUT x 2; response min 5.0 ms,
// median 5.1 ms, max 40.9 ms; longest failure run 2"
std::string fullLine(int address, const ModuleStats &m)
{
    std::string s = "  " + addressText(address) + ": " + std::to_string(m.exchanges) + " exchange" +
                    (m.exchanges == 1 ? "" : "s") + ";";
    std::string codes;
    for (auto &c : m.codes)
        codes += (codes.empty() ? " " : ", ") + errorLabel(c.first) + " x " + std::to_string(c.second);
    if (!codes.empty())
        s += codes + ";";
    if (m.apart.inputFaults)
        s += " " + inputFaultsText(m.apart) + ";";
    return s + " response " + timeSpread(m.ms) + "; longest failure run " + std::to_string(m.longestFailing) +
           ladderErrorsPart(m.apart) + "\n";
}

} // namespace

std::string fmtMs(double ms)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%.1f ms", ms);
    return buf;
}

std::string timeSpread(const TimeStats &t)
{
    if (t.empty())
        return "none";
    return "min " + fmtMs(t.min()) + ", median " + fmtMs(t.median()) + ", max " + fmtMs(t.max());
}

std::string lineWideHint(const std::vector<int> &addresses)
{
    return "several modules timed out in one scan (" + addressList(addresses) + "): " + LINE_WIDE_CAUSES;
}

std::string apartLines(const RunStats &st, const std::vector<std::string> &rungs)
{
    std::string s;
    auto whose = [&](bool (*has)(const Apart &)) {
        std::string list;
        for (size_t i = 0; i < st.rungApart.size(); ++i)
            if (has(st.rungApart[i]))
                list += (list.empty() ? " in R" : ", R") + std::to_string(i) + " " + rungs[i];
        return list;
    };
    if (!st.apart.ladderErrors.empty())
        s += "\n" + ladderErrorsText(st.apart) + whose([](const Apart &a) { return !a.ladderErrors.empty(); }) +
             ": refused before anything was sent, not counted as exchanges";
    if (st.apart.inputFaults)
        s += "\n" + inputFaultsText(st.apart) + whose([](const Apart &a) { return a.inputFaults > 0; }) +
             ": answered exchanges, not counted as line failures";
    return s;
}

std::string runSummary(const RunStats &st, const std::vector<std::string> &rungs, bool gateClosed)
{
    std::string s = "summary: " + std::to_string(st.scans) + " scans";
    if (!st.scanMs.empty())
        s += ", scan time " + timeSpread(st.scanMs);
    s += "\nerror codes:";
    if (gateClosed)
        s += " none: no instruction ran (the I/O gate was closed)";
    else if (st.codes.empty())
        s += " none recorded";
    for (auto &kv : st.codes)
        s += " " + errorLabel(kv.first) + " x " + std::to_string(kv.second) + ";";
    if (!st.codes.empty())
        s.pop_back();
    for (size_t i = 0; i < st.rungCodes.size(); ++i) {
        const auto &m = st.rungCodes[i];
        bool failed = false;
        for (auto &kv : m)
            failed |= kv.first != 0;
        if (!failed)
            continue;
        s += "\n  R" + std::to_string(i) + " " + rungs[i] + ":";
        for (auto &kv : m)
            s += " " + errorLabel(kv.first) + " x " + std::to_string(kv.second);
    }
    s += apartLines(st, rungs);
    if (st.lineWideScans > 0)
        s += "\nin " + std::to_string(st.lineWideScans) + " of the " + std::to_string(st.scans) +
             " scans several modules timed out (the last time " + addressList(st.lineWideLast) +
             "): " + LINE_WIDE_CAUSES;
    s += neverHeardLine(st);
    std::string m = moduleLines(st);
    if (!m.empty())
        s += "\nmodules:\n" + m.substr(0, m.size() - 1);
    return s;
}

std::string moduleLines(const RunStats &st, bool compact)
{
    std::string s;
    for (auto &kv : st.modules)
        s += compact ? compactLine(kv.first, kv.second) : fullLine(kv.first, kv.second);
    return s;
}

std::string neverHeardLine(const RunStats &st)
{
    std::vector<int> never;
    for (const auto &kv : st.modules)
        if (kv.second.neverHeard())
            never.push_back(kv.first);
    if (never.empty() || !st.anyAnswered())
        return "";
    return "\n" + addressList(never) + " never answered" +
           " while other modules did: not on the line, not powered, or at another address, speed or checksum "
           "setting (veldran-host survey finds what answers)";
}

} // namespace vhost
