// The time stamps of the log and the trace file, "2026-12-08T07:46:27.123Z"
// (UTC, to the millisecond), and back to seconds for a reader of the log.
#ifndef TOOLS_HOST_TIMESTAMP_H
#define TOOLS_HOST_TIMESTAMP_H

#include <string>

namespace vhost {

// The time now.
std::string isoTimestamp();

// Seconds since the epoch of a time stamp (NaN when it is none).
double secondsOf(const std::string &stamp);

} // namespace vhost

#endif
