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
// operands: an address, channel, format, value out of range); 1015 also
// comes from a hex analog reply that is too long, which callEnd tells apart.
bool givenBeforeSending(unsigned code);
// Where a call with a true rung ended, by the code it stored.
enum class CallEnd {
    Line,        // on the wire, with the line's outcome: 0, a time-out, a refusal, a garbled reply ...
    LadderError, // refused before anything was sent: an operand out of range (the ladder's mistake)
    InputFault,  // on the wire and answered, with inputs without a value (an open thermocouple)
};
// `formatInRange`: the call's "Format:" was 0 to 2, or it has none (a 1015
// then came from a hex reply too long, on the wire); `channels`: the call's
// "ErrChan:" mask, 0 when it has none (1018 with channels flagged is an open
// input, without them a reply of a length that fits no format).
CallEnd callEnd(unsigned code, bool formatInRange, unsigned channels);
// "1005 TIMEOUT" (a code and its name, as every tool shows it).
std::string errorLabel(unsigned code);
// The whole entry for `veldran-host explain`, lines ending in '\n'.
std::string explainText(const ErrorInfo &e);

} // namespace vhost

#endif
