// Picking the module's failure traces out of what it prints.
#include "trace.h"

#include <sstream>

#include "debug_trace.h"
#include "timestamp.h"

namespace vhost {

namespace {

bool holdsFailure(const std::string &text)
{
    for (const char *mark : FAILURE_TRACES)
        if (text.find(mark) != std::string::npos)
            return true;
    return false;
}

} // namespace

std::vector<std::string> traceLines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l)) {
        while (!l.empty() && (l.back() == '\r' || l.back() == ' ' || l.back() == '\t'))
            l.pop_back();
        size_t from = l.find_first_not_of(" \t");
        if (from != std::string::npos)
            lines.push_back(l.substr(from));
    }
    return lines;
}

std::string traceLine(const std::string &source, const std::string &line)
{
    return source.empty() ? line : source + ": " + line;
}

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

void FailureTraces::call(const std::string &text, long scan, const std::string &source)
{
    // A reply trace of a good read is kept only beside a failure trace.
    if (!holdsFailure(text))
        return;
    std::string stamp = isoTimestamp();
    // "scan 12 R3 I7041@04h: addr=4  ec=1005", or "scan 12: ..." outside a call.
    std::string scanText = "scan " + std::to_string(scan);
    for (const std::string &l : traceLines(text)) {
        if (f_) {
            std::string saved = stamp + " " + scanText + (source.empty() ? ": " : " ") + traceLine(source, l);
            fprintf(f_, "%s\n", saved.c_str());
            fflush(f_);
        }
        // "2026-12-08T07:53:12.345Z": the time of day.
        std::string head = scanText + " " + stamp.substr(11, 12) + (source.empty() ? "" : "  " + source + ":");
        recent_.push_back({head, l});
        if (recent_.size() > KEPT)
            recent_.erase(recent_.begin());
    }
}

} // namespace vhost
