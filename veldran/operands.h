// The operands of every instruction, in the order the host passes them.
// This one list gives both the instruction table's operand descriptors and
// the positions the instructions read and write (Addr first, ErrCode and
// ErrChan), so the two cannot disagree.
#ifndef VELDRAN_OPERANDS_H
#define VELDRAN_OPERANDS_H

#include "module.h"

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

constexpr List I7017 = {4, {addr, format, ain, errcode}};
constexpr List I7018 = {5, {addr, format, ain, errcode, errchan}};
constexpr List I7024 = {4, {addr, chan, aout, errcode}};
constexpr List I7041 = {4, {addr, xormask, din, errcode}};
constexpr List I7043 = {3, {addr, dout, errcode}};
constexpr List I7052 = {3, {addr, din, errcode}};
constexpr List I7053 = {4, {addr, xormask, din, errcode}};
constexpr List I7060 = {4, {addr, dout, din, errcode}};
constexpr List I7065 = {4, {addr, dout, din, errcode}};
constexpr List I7RDC = {4, {addr, chan, count, errcode}};
constexpr List I7CDC = {3, {addr, chan, errcode}};
constexpr List I7RSMS = {2, {addr, errcode}};
constexpr List I7RDMS = {3, {addr, status, errcode}};
constexpr List I7SHWV = {3, {addr, hsecs, errcode}};
constexpr List I7HOK = {1, {errcode}};

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

} // namespace operands

#endif
