// The values the Init option string accepts, and the settings a module has
// before any option string (or with an option that leaves one unset).  The
// module's parser checks against them and starts from them; the tools that
// reason about option strings, and the tests that reset the module, read
// them here.
#ifndef VELDRAN_OPTION_RANGES_H
#define VELDRAN_OPTION_RANGES_H

#include <stdint.h>

// COMPORT=
constexpr int32_t COMPORT_MIN = 1;
constexpr int32_t COMPORT_MAX = 4;
constexpr int32_t COMPORT_DEFAULT = 1;
// BAUD=, in hundreds of bit/s
constexpr int32_t BAUD_CODES[] = {96, 192, 384, 576, 1152};
constexpr int32_t BAUD_DEFAULT_BPS = 19200; // bit/s
// TIMEOUT=, milliseconds
constexpr uint32_t TIMEOUT_MIN_MS = 5;
constexpr uint32_t TIMEOUT_MAX_MS = 500;
constexpr uint32_t TIMEOUT_DEFAULT_MS = 40;
// CHECKSUM and DEBUG: off unless the word is given
constexpr bool CHECKSUM_DEFAULT = false;
constexpr bool DEBUG_DEFAULT = false;
// LATENCY=, milliseconds: how late the serial adapter may hand over what it
// received (a USB adapter's latency timer, 16 ms by default, and jitter)
constexpr uint32_t LATENCY_MIN_MS = 0;
constexpr uint32_t LATENCY_MAX_MS = 255;
constexpr uint32_t LATENCY_DEFAULT_MS = 20;

#endif
