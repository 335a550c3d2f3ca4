// The operands of the instructions, and each instruction's operand list in
// the order the host passes them, made from the list of instructions
// (instructions.h).  A list gives both the instruction table's operand
// descriptors and the positions the instructions read and write (Addr
// first, ErrCode and ErrChan), so the two cannot disagree.
#ifndef VELDRAN_OPERANDS_H
#define VELDRAN_OPERANDS_H

#include "veldran.h"

namespace operands {

constexpr PARMDEF addr = {"Addr:", ARG_WORD_IN, 1};
constexpr PARMDEF format = {"Format:", ARG_WORD_IN, 1};
constexpr PARMDEF chan = {"Chan:", ARG_WORD_IN, 1};
constexpr PARMDEF xormask = {"XORmask:", ARG_WORD_IN, 1};
constexpr PARMDEF dout = {"DOUT:", ARG_WORD_IN, 1};
constexpr PARMDEF hsecs = {"HSecs:", ARG_WORD_IN, 1};
constexpr PARMDEF errcode = {"ErrCode:", ARG_WORD_OUT, 1};
constexpr PARMDEF errchan = {"ErrChan:", ARG_WORD_OUT, 1};
constexpr PARMDEF din = {"DIN:", ARG_WORD_OUT, 1};
constexpr PARMDEF status = {"Status:", ARG_WORD_OUT, 1};
constexpr PARMDEF aout = {"AOUT:", ARG_FLOAT_IN, 1};
constexpr PARMDEF count = {"Count:", ARG_NUM_OUT, 1};
constexpr PARMDEF ain = {"AIN:", ARG_ARRAY_OUT, AIN_CHANNELS};

constexpr int MAX_OPERANDS = 9; // descriptors in a table entry

struct List {
    UBYTE count;
    PARMDEF p[MAX_OPERANDS];
};

// A list of the given operands, in order.
template <typename... Operand> constexpr List list(const Operand &...operand)
{
    static_assert(sizeof...(operand) <= MAX_OPERANDS, "the descriptors fit in a table entry");
    return {static_cast<UBYTE>(sizeof...(operand)), {operand...}};
}

// One list per instruction, named like it: operands::I7017 ...
#define VELDRAN_OPERAND_LIST(name, description, body, ...) constexpr List name = list(__VA_ARGS__);
VELDRAN_INSTRUCTIONS(VELDRAN_OPERAND_LIST)

constexpr bool sameLabel(const char *a, const char *b)
{
    for (; *a && *a == *b; ++a, ++b) {
    }
    return *a == *b;
}

// The position of the operand labelled `label`, or -1.
constexpr int indexOf(const List &l, const PARMDEF &operand)
{
    for (int i = 0; i < l.count; ++i)
        if (sameLabel(l.p[i].prm_name, operand.prm_name))
            return i;
    return -1;
}

// Whether operand i of the list is `operand`.
constexpr bool at(const List &l, int i, const PARMDEF &operand) { return indexOf(l, operand) == i; }

// Whether the list begins with the operands of `head`, in the same order.
constexpr bool startsWith(const List &l, const List &head)
{
    if (head.count > l.count)
        return false;
    for (int i = 0; i < head.count; ++i)
        if (!sameLabel(l.p[i].prm_name, head.p[i].prm_name))
            return false;
    return true;
}

} // namespace operands

#endif
