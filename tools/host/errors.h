// The error codes the module returns from its requests and stores in an
// instruction's "ErrCode:", each with a short name, its meaning, what
// usually causes it on a real line and what to do.  Every tool that shows a
// code shows its name from here.
#ifndef TOOLS_HOST_ERRORS_H
#define TOOLS_HOST_ERRORS_H

#include <string>

namespace vhost {

struct ErrorInfo {
    unsigned code;
    const char *name;    // TIMEOUT
    const char *meaning; // one line
    const char *causes;  // likely causes on a real line, "; " between them
    const char *action;  // what to do
};

// The entries, in ascending code order; `count` receives their number.
const ErrorInfo *errorTable(size_t *count);
// The entry of a code, or null for a code the module never returns.
const ErrorInfo *findError(unsigned code);
// The name of a code, "?" for an unknown one.
const char *errorName(unsigned code);
// Whether an instruction gives the code before it sends anything (its
// operands: an address, channel, format, value out of range).
bool givenBeforeSending(unsigned code);
// "1005 TIMEOUT" (a code and its name, as every tool shows it).
std::string errorLabel(unsigned code);
// The whole entry for `veldran-host explain`, lines ending in '\n'.
std::string explainText(const ErrorInfo &e);

} // namespace vhost

#endif
