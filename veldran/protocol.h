// The exchange engine (protocol.cpp): the line buffers, the command/response
// exchange that the protocol operations share, the host-OK broadcast, and
// the field encoders and decoders.  Once Init has opened the port, the
// engine is the only part of the module that talks to the serial library.
#ifndef VELDRAN_PROTOCOL_H
#define VELDRAN_PROTOCOL_H

#include "module.h"
#include "operation_table.h"

// ---------------------------------------------------------------------------
// Line buffers and the state of the line.
constexpr int LINE_MAX = 80; // characters of a reply line
constexpr char CR = '\r';
extern char dout[LINE_MAX + 1]; // command line, never terminated
extern char din[LINE_MAX + 1];  // reply from its start character on
// False from the moment an exchange sends its line until it has read its
// reply's carriage return: characters of that reply may still be arriving,
// and the next line must not go out over them.
extern BOOL lineSettled;

// ---------------------------------------------------------------------------
// Field encoders and decoders.
int CheckSum(char *buf, int len);
void itoh(UBYTE abyte, char *obuf);
ERRCODE itohx(int aint, char *obuf, int count);
int htoi(const char *s, int maxbytes);
int dtof(const char *s, int maxbytes, float *fvalue);
char keyupper(char k);
void wait(long msecs);

// ---------------------------------------------------------------------------
// The exchange.

// The operations (Operation) and the length rules of their replies
// (LengthRule) are listed in operation_table.h.

// The reply being collected.
struct ReplyState {
    bool started;  // the start character has been seen
    int pos;       // characters stored
    ERRCODE noted; // the refusal waiting for the end of the line, or 0
};

// What one received character did to the reply.
enum Collected : UBYTE {
    COLLECT_DROPPED,  // noise before the start character
    COLLECT_START,    // the start character, stored at position 0
    COLLECT_STORED,   // a character of the reply, stored
    COLLECT_NOTED,    // a refusal, noted for the end of the line
    COLLECT_REFUSED,  // a refusal reported at once (its code in `noted`)
    COLLECT_OVERFLOW, // the 81st character: the line is too long
    COLLECT_END,      // the carriage return: the line is complete
};

// Takes one received character of a reply collected for `op` into `line`.
Collected collectChar(Operation op, ReplyState *reply, char (&line)[LINE_MAX + 1], char c);

// Writes the command character and the address (low eight bits) into dout;
// returns the write position, 3.
int beginCommand(Operation op, int addr);
// Appends the checksum (when on) and the carriage return; returns the length.
int endCommand(int pos);
// Sends dout's first len characters, collects the reply into din and checks
// it: the length rule (see LengthRule), the checksum and, for the replies
// that carry one, the address.  *dlen is the reply's length without the
// checksum; it is set also when the exchange fails (for the traces), and is
// then below 0 when fewer characters than the checksum's two were stored.
ERRCODE exchange(Operation op, int len, int rlen, LengthRule rule, int *dlen);

// Reads and drops what is still arriving of an earlier reply before a line
// is sent; does nothing on a settled line.
void settleLine(void);

// The host-OK broadcast "~**": no module answers it; it waits only for the
// frame to leave the transmit queue.  0, 1010 when the serial library
// refused the frame, 1005 when the queue did not drain within `timeout`.
ERRCODE hostOkBroadcast(void);

#endif
