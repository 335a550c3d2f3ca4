// The modules' side of the ASCII command/response protocol: framing,
// checksum and the answer of each model to each command.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "plant.h"
#include "wire_format.h"

namespace vsim {

using wire::checksum;
using wire::hex2;
using wire::hexDigits;

// Analog reply fields.  A decimal field is always seven characters
// (sign, digits, point, digits); a hex field four digits, the 16-bit two's
// complement of value / fullScale * 32767.  Inputs without a value answer
// OPEN_DECIMAL or OPEN_HEX.
std::string decimalField(double v);
std::string hexField(double v, double fullScale);
inline constexpr const char *OPEN_DECIMAL = "-9999.9";
inline constexpr const char *OPEN_HEX = "-0000";

// What a command line (without its carriage return) is, before any module
// acts on it.
struct Frame {
    enum class Kind {
        Garbage,     // too short, unknown command character or no address: silence
        NoModule,    // an address nobody has: silence
        BadChecksum, // the module uses checksums and the line's is missing or wrong: silence
        Broadcast,   // ~** host OK: no reply
        Addressed,   // for `module`; `payload` is the line without its checksum
    };
    Kind kind = Kind::Garbage;
    Module *module = nullptr;
    std::string payload;
    std::string broadcastSum; // the two characters after ~**, if any
};

Frame frame(Plant &plant, std::string_view line);
// One frame per module that answers at the line's address (a duplicate
// address has several); one Garbage, NoModule or Broadcast frame otherwise.
std::vector<Frame> frames(Plant &plant, std::string_view line);

// The reply body (no carriage return) of `m` to `payload`, with the
// module's checksum when it uses checksums.  Carries the command out.
// `lineBaud` is what a module without a speed of its own reports as its
// baud code (0: unknown).
std::string execute(Module &m, std::string_view payload, Millis now, int lineBaud = 0);

// "?" and the address (and checksum): the refusal of a malformed or
// unsupported command.
std::string refusal(const Module &m);

// ~** restarts the watchdog of every module that accepts the frame: without
// a checksum, the modules that do not use checksums; with a correct one,
// every module.  A module set to another speed than `lineBaud` (when
// above 0) hears garbage and takes nothing.  Returns how many modules took it.
int hostOk(Plant &plant, std::string_view sum, Millis now, int lineBaud = 0);

// Lets every watchdog that is due expire; returns the addresses that did.
std::vector<int> tickAll(Plant &plant, Millis now);

// frame + execute in one, without faults (tests and tools).  Empty when
// nothing answers.
std::string answer(Plant &plant, std::string_view line, Millis now);

} // namespace vsim
