// The module's DEBUG traces of failures, picked out of what it prints and
// kept apart from the echoes of good reads that would bury them: the text
// of every instruction call that holds a failure trace (" addr=N  ec=CODE",
// "InvalidChecksum: ...", the analog read's count trace), the reply it
// echoed included, line by line with the scan, the time and the rung whose
// call printed it; the last few for the live view, every one in the file of
// --trace (flushed line by line).
#ifndef TOOLS_HOST_TRACE_H
#define TOOLS_HOST_TRACE_H

#include <cstdio>
#include <string>
#include <vector>

namespace vhost {

// What the module printed, as lines: each without the blanks and carriage
// return around it, blank lines left out.
std::vector<std::string> traceLines(const std::string &text);

// A line of the module's as the host shows it: after the rung and the
// instruction whose call printed it ("R3 I7041@0Bh: addr=11  ec=1018"),
// as it is when it came from no call (`source` "").
std::string traceLine(const std::string &source, const std::string &line);

// One line of the module's as a screen shows it, after what the host puts
// before it ("scan 12 07:53:12.345  R3 I7041@04h:"; "R3 I7041@04h:").
struct TracedLine {
    std::string head;
    std::string text;
    std::string joined() const { return head.empty() ? text : head + " " + text; }
};

class FailureTraces {
public:
    ~FailureTraces();
    bool open(const std::string &path, std::string &error);
    // What the module printed during one instruction call in scan `scan`,
    // the call of `source` ("R3 I7041@0Bh"; "": none).
    void call(const std::string &text, long scan, const std::string &source = "");
    // The last lines kept, "scan 12 07:53:12.345  R3 I7041@04h:" and
    // "addr=4  ec=1005".
    const std::vector<TracedLine> &recent() const { return recent_; }
    static constexpr size_t KEPT = 6;

private:
    FILE *f_ = nullptr;
    std::vector<TracedLine> recent_;
};

} // namespace vhost

#endif
