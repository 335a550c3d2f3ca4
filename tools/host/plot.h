// The trend plot of a ladder run's log.
#ifndef TOOLS_HOST_PLOT_H
#define TOOLS_HOST_PLOT_H

#include <string>

#include "exit_status.h"

namespace vhost {

// Turns a log into a trend image (PNG or SVG by the file's extension) with
// gnuplot: a panel per module address with its analog values (its digital
// words as bit lanes when it has none, the instructions' times when it has
// neither) and a panel of the scan time, over the seconds of the run; a
// value that was not read (rung false, exchange failed, input open) is a
// gap, and the scans where one of its rungs had a non-zero code are marked,
// one kind of mark per code.  Returns the exit status (EXIT_OK, EXIT_USAGE
// for a bad log or file name, EXIT_NO_PLOT when gnuplot cannot make the
// image); says why on stderr.
Exit plotLog(const std::string &csv, const std::string &image);

} // namespace vhost

#endif
