// The few operating-system services the reference host needs, kept apart so
// that windows.h never meets veldran.h (both define BOOL) in one
// translation unit.
#ifndef TOOLS_HOST_PLATFORM_H
#define TOOLS_HOST_PLATFORM_H

#include <string>

namespace vhost {

void sleepMs(int ms);

// Whether the serial library counts the bytes that reached a port (the
// POSIX stand-in does: tools/comm/comm_received.h), and its count for COM
// port n since it was opened (below 0: the port is not open, or no count).
bool countsReceived();
long long receivedOnPort(int port);

// Has the serial library call `watcher` with every byte it sends to or
// takes from a port (the POSIX stand-in can: tools/comm/comm_received.h);
// null stops it.  False where the library cannot be watched.
using SerialWatcher = void (*)(int port, bool sent, const char *bytes, int n);
bool watchSerialLibrary(SerialWatcher watcher);

// A serial device opened for listening only (the monitor): read-only, raw
// at `baud`, what it held before thrown away; nothing is ever written to it,
// and setting it up puts no byte on the line.  Below 0 with `error` set when
// it cannot be opened.
int openListenPort(const std::string &device, int baud, std::string &error);
// Up to `n` bytes heard, waiting at most `waitMs` for the first: the count,
// 0 when nothing came (or a signal came), -1 when the device went away.
int readListenPort(int fd, char *buf, int n, int waitMs);
void closeListenPort(int fd);

// Reading what the loop check is told: up to `n` bytes from `fd`, waiting
// at most `waitMs` for the first: the count, 0 when nothing came (or a
// signal came), -1 at the end of the input.  (On Windows it waits until
// something comes.)
int readInput(int fd, char *buf, int n, int waitMs);
// Whether standard input is a terminal, and with `keys` true the terminal
// handing over each key as it is typed, unechoed (Ctrl-C still interrupts);
// false puts it back as it was.
bool stdinTerminal();
void stdinKeys(bool keys);
// Whether standard output is a terminal that takes ANSI sequences (on
// Windows: a console that accepts virtual-terminal processing), and its
// size; columns and rows are left alone when the size is not known.
bool stdoutTerminal(int *columns, int *rows);
// Starts watching that terminal's size: on POSIX a handler of SIGWINCH
// that only notes the change; on Windows the console's size as it is now,
// for terminalResized to compare with.
void watchTerminalSize();
// Whether the size changed since the last look (or since watching began),
// and then the new size.
bool terminalResized(int *columns, int *rows);

// The device behind COM port n (1 to 4) as the serial library opens it, and
// where that mapping comes from (an environment variable, the default, the
// wine port mapping).
void comPortDevice(int port, std::string &device, std::string &source);
// The name a listener opens for COM port n: the port the serial library
// opens for it (on Windows "COM7" where VELDRAN_COMn names COM7).
std::string listenPortName(int port);
// When port n falls back to a default device because nothing names one (on
// POSIX: VELDRAN_COMn is not set), a line that says so and how to name the
// device; "" otherwise.
std::string defaultDeviceNote(int port);

} // namespace vhost

#endif
