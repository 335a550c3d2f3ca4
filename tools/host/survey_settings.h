// What the survey's run (survey.cpp) and its report (survey_report.cpp)
// share: the option string of one setting, the time-out range the module
// takes, the latency that covers a measured response, and the tries of a
// garbled address.
#ifndef TOOLS_HOST_SURVEY_SETTINGS_H
#define TOOLS_HOST_SURVEY_SETTINGS_H

#include <string>

namespace vhost {

// Tries of an address whose reply came garbled: a collision of two
// modules' replies repeats, a burst of noise does not.
constexpr int GARBLED_TRIES = 3;

// "COMPORT=1 BAUD=192 TIMEOUT=12 LATENCY=0 CHECKSUM"
std::string optionsFor(int port, int baudCode, bool checksum, int timeout, int latency);
// `t` within the module's range of "TIMEOUT=".
int clampTimeout(int t);
// The latency that covers a response measured `excessMs` beyond its wire
// time (the longest of a line: a serial adapter's timer and jitter).
int latencyFor(double excessMs);

} // namespace vhost

#endif
