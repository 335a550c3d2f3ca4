// What the module's exchanges put on the wire, for the tools that reason
// about a line without touching it (check, explain, survey's time-outs):
// the command line of an instruction call with its operands, the reply
// expected from a module that answers, and the time the two take at a baud
// rate.  Nothing here talks to a line; the module does that.
#ifndef TOOLS_HOST_WIRE_H
#define TOOLS_HOST_WIRE_H

#include <string>
#include <vector>

#include "catalogue.h"
#include "wire_format.h"

namespace vhost {

// Bits a character takes on the line: start, eight data bits, stop.
constexpr int CHAR_BITS = 10;
// Time allowed beyond the wire time of an exchange: the module's turn-around
// and the delivery of received bytes to the program.
constexpr double TURNAROUND_MARGIN_MS = 5.0;
// The module's accepted range of "TIMEOUT=".
constexpr int TIMEOUT_MIN_MS = wire::TIMEOUT_MIN;
constexpr int TIMEOUT_MAX_MS = wire::TIMEOUT_MAX;
// "BAUD=" values (hundreds of bit/s).
using wire::BAUD_CODES;

// One exchange: the command line as sent and the reply that a module gives
// when all is well ("" for the host-OK broadcast, which has none).  In the
// reply, "d" and "h" stand for decimal and hex digits the module fills in,
// "c" for its checksum digits; the command carries its real checksum.
struct Exchange {
    std::string what;    // "read analog inputs (decimal)"
    std::string command; // "#01\r"
    std::string reply;   // ">+dd.ddd...\r"
};

// The exchanges that one call of an instruction makes with these input
// operands (by label, "Addr:" ...), with or without checksums, in order, as
// the catalogue describes them.  An instruction the catalogue does not know
// gives none.
struct InputValues {
    int addr = 0;
    int format = 0; // "Format:"
    int chan = 0;   // "Chan:"
    int dout = 0;   // "DOUT:"
    int hsecs = 0;  // "HSecs:"
    float aout = 0; // "AOUT:"
};
std::vector<Exchange> exchangesOf(const catalogue::Instruction &instr, const InputValues &in, bool checksum);
std::vector<Exchange> exchangesOf(const std::string &instr, const InputValues &in, bool checksum);
// The first exchange of the first instruction that makes only an exchange
// of `kind` (catalogue::firstMaking), which the catalogue has for the reads
// the tools time: the status, analog and digital reads.
Exchange exchangeOf(catalogue::Kind kind, const InputValues &in, bool checksum);

// Milliseconds that `chars` characters take at `baud` bit/s.
double wireMs(size_t chars, int baud);
// Characters of an exchange on the wire, both ways.
size_t wireChars(const Exchange &e);
// The smallest "TIMEOUT=" that lets a module answer the exchange: the wire
// time of the command and the reply plus the margin, rounded up, at least
// TIMEOUT_MIN_MS.  (The module starts its time-out when the command has been
// handed to the serial library, so the command's own time counts.)
int minTimeoutMs(const Exchange &e, int baud, double marginMs = TURNAROUND_MARGIN_MS);

// Characters of a reply as a program received them: `chars` that it found
// waiting together, `ms` after the end of the command.
struct Arrival {
    size_t chars = 0;
    double ms = 0;
};
// The arrivals in bursts: a pause longer than three character times at the
// baud rate (at least 2 ms) ends one.  A line that hands over each
// character as it comes gives one burst; a serial adapter that hands over
// what it gathered when its latency timer runs out gives one per delivery.
// Each burst has the time of its first arrival.
std::vector<Arrival> burstsOf(const std::vector<Arrival> &arrivals, int baud);
// "3 bursts: 7 chars at 4.1 ms, 62 at 20.3 ms, 1 at 36.2 ms"; "" for one
// burst or none.
std::string burstsText(const std::vector<Arrival> &bursts);

} // namespace vhost

#endif
