// The instruction table the host reads to learn the module's instructions:
// name, description, function and operand descriptors of each, then an
// all-zero terminator.  A static initialised object; the module's own code
// never reads or writes it.
#include "module.h"

namespace {

constexpr PARMDEF addr = {"Addr:", ARG_WORD_IN, 1};
constexpr PARMDEF format = {"Format:", ARG_WORD_IN, 1};
constexpr PARMDEF chan = {"Chan:", ARG_WORD_IN, 1};
constexpr PARMDEF xormask = {"XORmask:", ARG_WORD_IN, 1};
constexpr PARMDEF dout_ = {"DOUT:", ARG_WORD_IN, 1};
constexpr PARMDEF hsecs = {"HSecs:", ARG_WORD_IN, 1};
constexpr PARMDEF errcode = {"ErrCode:", ARG_WORD_OUT, 1};
constexpr PARMDEF errchan = {"ErrChan:", ARG_WORD_OUT, 1};
constexpr PARMDEF din_ = {"DIN:", ARG_WORD_OUT, 1};
constexpr PARMDEF status = {"Status:", ARG_WORD_OUT, 1};
constexpr PARMDEF aout = {"AOUT:", ARG_FLOAT_IN, 1};
constexpr PARMDEF count = {"Count:", ARG_NUM_OUT, 1};
constexpr PARMDEF ain = {"AIN:", ARG_ARRAY_OUT, AIN_CHANNELS};

} // namespace

extern "C" {

FUNCDEF function_table[FUNCTION_TABLE_ENTRIES] = {
    {"I7017", "Read 8 Analog Inputs", I7017, 0, 0, 4, {addr, format, ain, errcode}},
    {"I7018", "Read 8 TC Inputs", I7018, 0, 0, 5, {addr, format, ain, errcode, errchan}},
    {"I7024", "Write Analog Output", I7024, 0, 0, 4, {addr, chan, aout, errcode}},
    {"I7041", "Read Digital Inputs", I7041, 0, 0, 4, {addr, xormask, din_, errcode}},
    {"I7043", "Write Digital Outputs", I7043, 0, 0, 3, {addr, dout_, errcode}},
    {"I7052", "Read Digital Inputs", I7052, 0, 0, 3, {addr, din_, errcode}},
    {"I7053", "Read Digital Inputs", I7053, 0, 0, 4, {addr, xormask, din_, errcode}},
    {"I7060", "RD/WR Digital I/0", I7060, 0, 0, 4, {addr, dout_, din_, errcode}},
    {"I7065", "RD/WR Digital I/0", I7065, 0, 0, 4, {addr, dout_, din_, errcode}},
    {"I7RDC", "Read Digital Input Counter", I7RDC, 0, 0, 4, {addr, chan, count, errcode}},
    {"I7CDC", "Clear Digital Input Counter", I7CDC, 0, 0, 3, {addr, chan, errcode}},
    {"I7RSMS", "Reset Module Status", I7RSMS, 0, 0, 2, {addr, errcode}},
    {"I7RDMS", "Read Module Status", I7RDMS, 0, 0, 3, {addr, status, errcode}},
    {"I7SHWV", "Set Host WatchDog Value", I7SHWV, 0, 0, 3, {addr, hsecs, errcode}},
    {"I7HOK", "Host OK", I7HOK, 0, 0, 1, {errcode}},
    {}, // terminator: all zero
};
}

static_assert(sizeof function_table == sizeof(FUNCDEF) * 16, "sixteen entries");
