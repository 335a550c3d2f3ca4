// The protocol operations, one line each, in the order of the engine's
// table (protocol.cpp):
//
//   X(operation, command, start, question, bang, replyTrace, checksumTrace, addressed)
//
// `command` is the command character at position 0 of the line, before the
// address; `start` the reply's start character; `question` and `bang` what
// a "?" (1006) or a "!" (1012) before the start character does to the
// exchange (DROPPED, FAILS_AT_ONCE, FAILS_AT_END or, for "!", STARTS when it
// is the start character itself); `replyTrace` whether the debug option
// traces every complete reply line ("\nrec: ..."), `checksumTrace` whether
// it traces a checksum mismatch; `addressed` whether the reply repeats the
// address after its start character.  The engine's table and the
// operations' names are made from this list, and so is the framing that the
// catalogue of exchanges (catalogue.h) shows the tools.
#ifndef VELDRAN_OPERATION_TABLE_H
#define VELDRAN_OPERATION_TABLE_H

#include <stdint.h>

// clang-format off
#define VELDRAN_OPERATIONS(X)                                                          \
    X(OP_READ_DIO,      '@', '>', FAILS_AT_ONCE, DROPPED,       true,  true,  false)   \
    X(OP_WRITE_DO,      '@', '>', FAILS_AT_ONCE, FAILS_AT_ONCE, false, false, false)   \
    X(OP_READ_AIN,      '#', '>', FAILS_AT_END,  DROPPED,       false, true,  false)   \
    X(OP_WRITE_AO,      '#', '>', FAILS_AT_END,  FAILS_AT_END,  false, false, false)   \
    X(OP_READ_COUNTER,  '#', '!', FAILS_AT_ONCE, STARTS,        false, false, true)    \
    X(OP_CLEAR_COUNTER, '$', '!', FAILS_AT_ONCE, STARTS,        false, false, true)    \
    X(OP_HOST_CMD,      '~', '!', FAILS_AT_ONCE, STARTS,        false, false, true)    \
    /* the end of the list */
// clang-format on

#define VELDRAN_OPERATION_NAME(operation, ...) operation,
enum Operation : uint8_t { VELDRAN_OPERATIONS(VELDRAN_OPERATION_NAME) OP_COUNT };

// How a complete reply's length is checked; `rlen` counts the characters
// before the checksum, which adds two when it is on.
enum LengthRule : uint8_t {
    EXACTLY,  // rlen characters
    AT_LEAST, // rlen characters or more
    // The analog read's: any length, as its fields are counted when they are
    // decoded (rlen is not used); with the checksum on, more than the start
    // character and the checksum.
    ANALOG_FIELDS,
};

#endif
