// The start-up option parser (options.cpp): the settings it leaves for
// every exchange to read, and its entry.  Besides the host's console
// (HlpPrintf) it calls keyupper, the engine's (protocol.cpp); a program that
// links the parser without the engine brings its own.
#ifndef VELDRAN_OPTIONS_H
#define VELDRAN_OPTIONS_H

#include "veldran.h"

extern int32_t port;     // COM port 1 to 4
extern int32_t BaudRate; // bits per second
extern uint32_t timeout; // reply time-out, milliseconds
extern BOOL useCheckSum; // commands and replies carry a checksum
extern BOOL debug;       // trace replies and failures on the console
extern uint32_t latency; // how late the serial adapter may deliver, ms

constexpr int CMDLINE_BUFFER = 200; // the option string's work buffer
ERRCODE CommandLine(const char *cmdLine);

char keyupper(char k);

#endif
