// The values the Init option string accepts.  The module's parser checks
// against them; the tools that reason about option strings read them here.
#ifndef VELDRAN_OPTION_RANGES_H
#define VELDRAN_OPTION_RANGES_H

#include <stdint.h>

// COMPORT=
constexpr int32_t COMPORT_MIN = 1;
constexpr int32_t COMPORT_MAX = 4;
// BAUD=, in hundreds of bit/s
constexpr int32_t BAUD_CODES[] = {96, 192, 384, 576, 1152};
// TIMEOUT=, milliseconds
constexpr uint32_t TIMEOUT_MIN_MS = 5;
constexpr uint32_t TIMEOUT_MAX_MS = 500;
// LATENCY=, milliseconds: how late the serial adapter may hand over what it
// received (a USB adapter's latency timer, 16 ms by default, and jitter)
constexpr uint32_t LATENCY_MIN_MS = 0;
constexpr uint32_t LATENCY_MAX_MS = 255;
constexpr uint32_t LATENCY_DEFAULT_MS = 20;

#endif
