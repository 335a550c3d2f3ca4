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

void FailureTraces::call(const std::string &text, long scan)
{
    // A reply trace of a good read is kept only beside a failure trace.
    if (!holdsFailure(text))
        return;
    std::string stamp = isoTimestamp();
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l)) {
        while (!l.empty() && (l.back() == '\r' || l.back() == ' '))
            l.pop_back();
        size_t from = l.find_first_not_of(" \t");
        if (from == std::string::npos)
            continue;
        l.erase(0, from);
        if (f_) {
            fprintf(f_, "%s scan %ld: %s\n", stamp.c_str(), scan, l.c_str());
            fflush(f_);
        }
        // "2026-12-08T07:53:12.345Z": the time of day.
        recent_.push_back("scan " + std::to_string(scan) + " " + stamp.substr(11, 12) + "  " + l);
        if (recent_.size() > KEPT)
            recent_.erase(recent_.begin());
    }
}

} // namespace vhost
