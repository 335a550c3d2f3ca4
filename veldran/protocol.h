// The exchange engine shared by the protocol operations.
#ifndef VELDRAN_PROTOCOL_H
#define VELDRAN_PROTOCOL_H

#include <iterator>

#include "module.h"

enum Operation : UBYTE {
    OP_READ_DIO,
    OP_WRITE_DO,
    OP_READ_AIN,
    OP_WRITE_AO,
    OP_READ_COUNTER,
    OP_CLEAR_COUNTER,
    OP_HOST_CMD,
    OP_COUNT
};

// What a refusal character before the reply's start character does.
enum Before : UBYTE {
    DROPPED,       // ignored like any noise
    FAILS_AT_ONCE, // the exchange ends with the refusal's code
    FAILS_AT_END,  // the code is noted and returned at the carriage return
    STARTS,        // it is the start character itself
};

struct OperationSettings {
    char command;       // command character at position 0
    char start;         // the reply's start character
    Before question;    // "?" before the start: 1006
    Before bang;        // "!" before the start: 1012 (when not the start)
    bool replyTrace;    // "\nrec: %s" after every complete line
    bool checksumTrace; // "\nInvalidChecksum: ..." on a mismatch
    bool addressed;     // the reply repeats the address after its start
};

const OperationSettings &settingsOf(Operation op);

enum LengthRule : UBYTE { EXACTLY, AT_LEAST };

// The reply being collected into din.
struct ReplyState {
    bool validCommand; // the start character has been seen
    int pos;           // characters stored
    ERRCODE noted;     // the refusal waiting for the end of the line, or 0
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

// Takes one received character of a reply collected for `op`.
Collected collectChar(Operation op, ReplyState *reply, char c);

// Writes the command character and the address (low eight bits) into dout;
// returns the write position, 3.
int beginCommand(Operation op, int addr);
// Writes the host-OK broadcast's "~**" into dout; returns 3.
int beginBroadcast(void);
// Appends the checksum (when on) and the carriage return; returns the length.
int endCommand(int pos);
// Waits for the line to settle, empties the transmit queue (and, for a line
// that expects a reply, the receive queue) and hands dout's first len
// characters to the serial library: 0, or 1010 when it refused them.
ERRCODE sendLine(int len, bool expectsReply);
// Sends dout's first len characters and collects the reply into din.  0 when
// a carriage return ended the line with no refusal noted; *stored is the
// count of characters stored (also on failure).
ERRCODE transact(Operation op, int len, int *stored);
// Compares the last two of `stored` characters with the checksum of the
// rest (which it writes over them).
ERRCODE verifyChecksum(Operation op, int stored);
// transact, then the length rule (rlen without the checksum), the checksum
// and, for the replies that carry one, the address; *dlen is the reply's
// length without the checksum.
ERRCODE exchange(Operation op, int len, int rlen, LengthRule rule, int *dlen);

#endif
