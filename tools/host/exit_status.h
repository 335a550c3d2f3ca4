// The exit statuses of veldran-host.  Each subcommand uses the few that
// apply to it; some numbers therefore have a name for each of their
// meanings (1 is a bad command line for every subcommand, and also a check
// with warnings, a survey that found nothing).
#ifndef TOOLS_HOST_EXIT_STATUS_H
#define TOOLS_HOST_EXIT_STATUS_H

namespace vhost {

enum Exit {
    EXIT_OK = 0,
    // A bad command line, ladder file, log or file name, or a request the
    // module would refuse (configure): nothing was done.
    EXIT_USAGE = 1,
    EXIT_WARNINGS = 1,  // check: the report has warnings, no errors
    EXIT_NO_ANSWER = 1, // survey: no module answered; identify, configure: a module did not; send: nothing did
    // The module could not be loaded, or the DLL in the emulator faulted.
    EXIT_LOAD = 2,
    EXIT_ERRORS = 2,     // check: the report has errors
    EXIT_LINE = 2,       // the line would not open, or what was written did not read back
    EXIT_NO_PLOT = 2,    // plot: gnuplot could not make the image
    EXIT_UNFORESEEN = 2, // an error the host did not foresee
    EXIT_INIT = 3,       // run: Init failed
    EXIT_CODES = 4,      // run --fail-on-error: a true rung ended a scan with a non-zero code
    EXIT_PORT_GONE = 5,  // run: the port went away during the run
    EXIT_INTERRUPTED = 130
};

} // namespace vhost

#endif
