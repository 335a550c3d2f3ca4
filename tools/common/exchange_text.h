// The module's exchanges as text, from the catalogue (catalogue.h): the
// command line an instruction sends with given operands, and the reply a
// module gives when all is well, written with the catalogue's placeholders
// ("h" a hex digit, "d" a decimal digit, "cc" the checksum digits).  For the
// host's previews and checks and for the tests that hold the module to the
// catalogue.
#ifndef TOOLS_COMMON_EXCHANGE_TEXT_H
#define TOOLS_COMMON_EXCHANGE_TEXT_H

#include <functional>
#include <string>

#include "catalogue.h"

namespace wire {

// The value of the input operand labelled `label` ("Addr:", "Chan:" ...).
using OperandValues = std::function<double(const char *label)>;

// The form of reply the operands select: the analog read's hex form for
// "Format:" 2, else the usual one.
const catalogue::Form &formOf(const catalogue::Exchange &x, const OperandValues &values);

// The command line as it goes over the wire: the command character, the
// address (the value of "Addr:") or "**", the data fields, the checksum when
// `checksum` and the carriage return.
std::string commandLine(const catalogue::Exchange &x, const OperandValues &values, bool checksum);

// The reply's characters before the checksum, with placeholders: "!05hh".
// "" for an exchange without a reply.
std::string replyBody(const catalogue::Exchange &x, const OperandValues &values);
// The whole reply: the body, "cc" when `checksum`, the carriage return; ""
// for an exchange without a reply.
std::string replyLine(const catalogue::Exchange &x, const OperandValues &values, bool checksum);

} // namespace wire

#endif
