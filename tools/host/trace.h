// The module's DEBUG traces of failures, picked out of what it prints and
// kept apart from the echoes of good reads that would bury them: the text
// of every instruction call that holds a failure trace (" addr=N  ec=CODE",
// "InvalidChecksum: ...", the analog read's count trace), the reply it
// echoed included, line by line with the scan and the time; the last few
// for the live view, every one in the file of --trace (flushed line by
// line).
#ifndef TOOLS_HOST_TRACE_H
#define TOOLS_HOST_TRACE_H

#include <cstdio>
#include <string>
#include <vector>

namespace vhost {

class FailureTraces {
public:
    ~FailureTraces();
    bool open(const std::string &path, std::string &error);
    // What the module printed during one instruction call in scan `scan`.
    void call(const std::string &text, long scan);
    // The last lines kept, "scan 12 07:53:12.345  addr=4  ec=1005".
    const std::vector<std::string> &recent() const { return recent_; }
    static constexpr size_t KEPT = 6;

private:
    FILE *f_ = nullptr;
    std::vector<std::string> recent_;
};

} // namespace vhost

#endif
