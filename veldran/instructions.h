// The ladder instructions, one line each, in the order of the instruction
// table:
//
//   X(name, description, body, operands...)
//
// `name` is the instruction's name in the table and the name of its
// function; `description` is the table's one-line text; `body` is what the
// instruction does between the address check and the error report
// (instructions.cpp); the operands (operands.h) are listed in the order the
// host passes them.  The functions' declarations and definitions, the table
// entries with their operand descriptors and the table's length are all
// made from this one list.
#ifndef VELDRAN_INSTRUCTIONS_H
#define VELDRAN_INSTRUCTIONS_H

// clang-format off
#define VELDRAN_INSTRUCTIONS(X)                                                                 \
    X(I7017,  "Read 8 Analog Inputs",        readAnalog,   addr, format, ain, errcode)          \
    X(I7018,  "Read 8 TC Inputs",            readAnalog,   addr, format, ain, errcode, errchan) \
    X(I7024,  "Write Analog Output",         writeAnalog,  addr, chan, aout, errcode)           \
    X(I7041,  "Read Digital Inputs",         read7041,     addr, xormask, din, errcode)         \
    X(I7043,  "Write Digital Outputs",       write7043,    addr, dout, errcode)                 \
    X(I7052,  "Read Digital Inputs",         read7052,     addr, din, errcode)                  \
    X(I7053,  "Read Digital Inputs",         read7053,     addr, xormask, din, errcode)         \
    X(I7060,  "RD/WR Digital I/0",           io7060,       addr, dout, din, errcode)            \
    X(I7065,  "RD/WR Digital I/0",           io7065,       addr, dout, din, errcode)            \
    X(I7RDC,  "Read Digital Input Counter",  readCounter,  addr, chan, count, errcode)          \
    X(I7CDC,  "Clear Digital Input Counter", clearCounter, addr, chan, errcode)                 \
    X(I7RSMS, "Reset Module Status",         resetStatus,  addr, errcode)                       \
    X(I7RDMS, "Read Module Status",          readStatus,   addr, status, errcode)               \
    X(I7SHWV, "Set Host WatchDog Value",     setWatchdog,  addr, hsecs, errcode)                \
    X(I7HOK,  "Host OK",                     hostOk,       errcode)                             \
    /* the end of the list */
// clang-format on

// Each instruction's position in the table, and their number.
#define VELDRAN_INSTRUCTION_INDEX(name, ...) INDEX_##name,
enum InstructionIndex : int { VELDRAN_INSTRUCTIONS(VELDRAN_INSTRUCTION_INDEX) INSTRUCTION_COUNT };

#endif
