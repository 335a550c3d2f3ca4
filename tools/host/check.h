// `veldran-host check`: a ladder program and an option string read against
// the line before anything is sent: the settings in effect, the option
// string's pitfalls, each rung's exchanges and their wire time, time-outs
// too short for them, the scan time, and with a plant file the modules the
// rungs address.
#ifndef TOOLS_HOST_CHECK_H
#define TOOLS_HOST_CHECK_H

#include <string>

#include "exit_status.h"
#include "ladder.h"
#include "settings.h"

namespace vhost {

struct CheckInput {
    const Program *prog = nullptr;
    const FUNCDEF *table = nullptr;
    const std::string *options = nullptr; // null: no option string
    std::string plantPath;                // "": none
    // The table's module is loaded with its I/O gate open and no port open:
    // each rung is run through it once with the first scan's operands.  The
    // serial library refuses every line (1010), so any other code is one the
    // module gives before it sends anything, as it will in every scan.
    bool trialRun = false;
};

// Writes the report to `out` and returns its status: EXIT_OK without
// findings, EXIT_WARNINGS, or EXIT_ERRORS.
Exit runCheck(const CheckInput &in, std::string &out);

} // namespace vhost

#endif
