// Not part of the serial library that the module calls (serial/comm.h): the
// stand-ins count every byte that reached a port since it was opened, read
// or purged (modulo 2^31; -1 for a port that is not open).  The tools ask it
// whether anything came while the module was waiting, which the module does
// not say.  Only the POSIX library exports it.
#ifndef TOOLS_COMM_COMM_RECEIVED_H
#define TOOLS_COMM_COMM_RECEIVED_H

#include <cstdint>

extern "C" int32_t commReceived(int32_t port);

// Nor is this: a watcher of every byte the library hands to the system
// (`sent` 1) and takes from it (`sent` 0, also the bytes a receive clear
// throws away), called as it happens, so that a host can record the line
// as its program saw it.  Null stops watching.  Only the POSIX library
// exports it.
using CommWatcher = void (*)(int32_t port, int32_t sent, const char *bytes, int32_t n);
extern "C" void commWatch(CommWatcher watcher);

#endif
