// The serial-port library (comm.dll) as the module calls it.
//
// Every function takes the COM port number (1 to 4) first and returns a
// signed 32-bit value; all are cdecl with 32-bit arguments on the i686 build.
#ifndef SERIAL_COMM_H
#define SERIAL_COMM_H

#include <stdint.h>

extern "C" {
// Opens and configures the port.  The two buffers back the library's own
// receive and transmit queues from here until _COMdisable.  0: open.
int32_t _COMsetup(int32_t port, int32_t rcvSize, char *rcvBuf, int32_t xmitSize, char *xmitBuf, int32_t baud,
                  int32_t parity, int32_t stopBits, int32_t dataBits);
int32_t _COMdisable(int32_t port);
// Non-zero: all len bytes accepted for sending; 0: failure.
int32_t _COMwrite(int32_t port, const char *buf, int32_t len);
// Next received character (low eight bits); only after _COMrcvqueue > 0.
int32_t _COMgetc(int32_t port);
// Received characters waiting.
int32_t _COMrcvqueue(int32_t port);
// Characters still waiting to be sent.
int32_t _COMxmitqueue(int32_t port);
int32_t _COMrcvclear(int32_t port);
int32_t _COMxmitclear(int32_t port);
}

#endif
