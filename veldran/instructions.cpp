// The fifteen ladder instructions.
//
// All share one call convention (perform): read the inputs, do nothing on a
// false rung or while the I/O gate is closed, check "Addr:" first, let the
// instruction check its own operands and run its protocol operation(s),
// trace a failure with the debug option, store the low 16 bits of the code
// in "ErrCode:" and return FALSE.  Each instruction supplies only its body:
// the checks after the address, the operations and the result writes.
#include <math.h>

#include "TLMUSR.h"
#include "debug_trace.h"
#include "operands.h"
#include "protocol.h"

float fvalues[AIN_CHANNELS];
float *const fvalptr = fvalues;

namespace {

constexpr int ADDR_MIN = 0;
constexpr int ADDR_MAX = 255;
constexpr unsigned ALL_CHANNELS_FAILED = 255;

// Inputs of kind 0x0005: val.wd, sign-extended.
int wordIn(const TLIPARAM &p) { return p.val.wd; }

// Outputs of kind 0x0006 and the word forms of 0x000e/0x001e: low 16 bits.
void storeWord(TLIPARAM &p, long value)
{
    if (p.ptr.wptr)
        *p.ptr.wptr = static_cast<SSHORT>(static_cast<WORD>(value & 0xFFFF));
}

void storeFloat(TLIPARAM &p, float value)
{
    if (p.ptr.fptr)
        *p.ptr.fptr = value;
}

// Float to 32-bit integer, truncating toward zero; values outside the range
// (which no reply can produce) give 0 rather than undefined behaviour.
int32_t truncated(float v)
{
    if (!(v > -2147483648.0f && v < 2147483648.0f))
        return 0;
    return static_cast<int32_t>(v);
}

// What an instruction does between the address check and the error report.
// `mask` starts as 255 and is stored in "ErrChan:" where there is one.  Each
// body comes with the list of the operands it reads and writes (its name
// and "Operands"), which the operands of every instruction that uses it
// must begin with.
typedef ERRCODE (*Body)(TLIPARAM *params, int addr, unsigned *mask);

struct Instruction {
    bool hasAddress; // "Addr:" is operand 0 and is checked first
    int errCode;     // index of "ErrCode:"
    int errChan;     // index of "ErrChan:", or -1
    Body body;
};

// An instruction's row, with the positions taken from its operand list.
constexpr Instruction instruction(const operands::List &ops, Body body)
{
    return {operands::at(ops, 0, operands::addr), operands::indexOf(ops, operands::errcode),
            operands::indexOf(ops, operands::errchan), body};
}

bool gateClosed() { return ioGateClosed(TopDoc, Mode); }

BOOL perform(const Instruction &ins, int32_t rungState, TLIPARAM *params)
{
    int addr = ins.hasAddress ? wordIn(params[0]) : 0;
    if (rungState == 0 || gateClosed())
        return FALSE;

    unsigned mask = ALL_CHANNELS_FAILED;
    ERRCODE ec;
    if (ins.hasAddress && (addr < ADDR_MIN || addr > ADDR_MAX))
        ec = EC_BAD_ADDRESS;
    else
        ec = ins.body(params, addr, &mask);

    if (debug && ec != EC_OK && ins.hasAddress)
        HlpPrintf("\n" TRACE_FAILED "%d  ec=%d", addr, static_cast<int>(ec));
    storeWord(params[ins.errCode], static_cast<long>(ec));
    if (ins.errChan >= 0)
        storeWord(params[ins.errChan], static_cast<long>(mask));
    return FALSE;
}

// ---------------------------------------------------------------------------
// Analog.

// Then ErrCode (and ErrChan, which gets the channel mask).
constexpr operands::List readAnalogOperands = operands::list(operands::addr, operands::format, operands::ain);
ERRCODE readAnalog(TLIPARAM *params, int addr, unsigned *mask)
{
    int format = wordIn(params[1]);
    TLIPARAM &ain = params[2];
    if (format < 0 || format > 2)
        return EC_BAD_FORMAT;
    bool fits = ain.isfloat ? format != 2 : format == 2;
    if (!fits)
        return EC_BAD_AIN_TYPE;

    // The read leaves its channel error mask straight in "ErrChan:"'s value.
    ERRCODE ec = readAIN(addr, format, AIN_CHANNELS, fvalptr, mask);
    if (ec == EC_OK || ec == EC_AIN_LENGTH) {
        for (int i = 0; i < AIN_CHANNELS; ++i) {
            if (ain.isfloat) {
                if (ain.ptr.fptr)
                    ain.ptr.fptr[i] = fvalues[i];
            } else if (ain.ptr.wptr) {
                ain.ptr.wptr[i] = static_cast<SSHORT>(static_cast<WORD>(truncated(fvalues[i]) & 0xFFFF));
            }
        }
    }
    return ec;
}

constexpr operands::List writeAnalogOperands = operands::list(operands::addr, operands::chan, operands::aout);
ERRCODE writeAnalog(TLIPARAM *params, int addr, unsigned *)
{
    int chan = wordIn(params[1]);
    float fvalue = params[2].val.fl;
    if (chan < 0 || chan > 3)
        return EC_BAD_CHANNEL;
    if (fvalue > 22.0f || fvalue < -11.0f || isnan(fvalue))
        return EC_BAD_AOUT;
    return writeAO(addr, chan, fvalue);
}

// ---------------------------------------------------------------------------
// Digital.

// Reads the module's input word and stores ((word XOR xormask) >> shift)
// AND keep in "DIN:".
ERRCODE readInputs(TLIPARAM &din, int addr, int xormask, int shift, int keep)
{
    int result;
    ERRCODE ec = readDIO(addr, &result);
    if (ec == EC_OK)
        storeWord(din, ((result ^ xormask) >> shift) & keep);
    return ec;
}

// 14 input bits, bits 14 and 15 always 0.
constexpr operands::List read7041Operands = operands::list(operands::addr, operands::xormask, operands::din);
ERRCODE read7041(TLIPARAM *params, int addr, unsigned *)
{
    return readInputs(params[2], addr, wordIn(params[1]), 0, 0x3FFF);
}

// The whole word as four digits.
constexpr operands::List write7043Operands = operands::list(operands::addr, operands::dout);
ERRCODE write7043(TLIPARAM *params, int addr, unsigned *) { return writeDO(addr, wordIn(params[1]), 4); }

// The first two digits of the reply.
constexpr operands::List read7052Operands = operands::list(operands::addr, operands::din);
ERRCODE read7052(TLIPARAM *params, int addr, unsigned *) { return readInputs(params[1], addr, 0, 8, 0xFF); }

// All sixteen bits.
constexpr operands::List read7053Operands = operands::list(operands::addr, operands::xormask, operands::din);
ERRCODE read7053(TLIPARAM *params, int addr, unsigned *)
{
    return readInputs(params[2], addr, wordIn(params[1]), 0, 0xFFFF);
}

// Write the outputs, then read back the inputs, which the last digit of the
// reply carries inverted.
constexpr operands::List writeReadOperands = operands::list(operands::addr, operands::dout, operands::din);
ERRCODE writeRead(TLIPARAM *params, int addr, int digits)
{
    int data = wordIn(params[1]) & 0x1F;
    ERRCODE ec = writeDO(addr, data, digits);
    if (ec != EC_OK)
        return ec;
    int result;
    ec = readDIO(addr, &result);
    if (ec == EC_OK)
        storeWord(params[2], ~result & 0x0F);
    return ec;
}

constexpr operands::List io7060Operands = writeReadOperands;
ERRCODE io7060(TLIPARAM *params, int addr, unsigned *) { return writeRead(params, addr, 1); }
constexpr operands::List io7065Operands = writeReadOperands;
ERRCODE io7065(TLIPARAM *params, int addr, unsigned *) { return writeRead(params, addr, 2); }

// ---------------------------------------------------------------------------
// Counters, status and watchdog.

constexpr int CHAN_MAX_COUNTER = 15;
constexpr int HSECS_MAX = 255;

constexpr operands::List readCounterOperands = operands::list(operands::addr, operands::chan, operands::count);
ERRCODE readCounter(TLIPARAM *params, int addr, unsigned *)
{
    int chan = wordIn(params[1]);
    TLIPARAM &count = params[2];
    if (chan < 0 || chan > CHAN_MAX_COUNTER)
        return EC_BAD_CHANNEL;
    unsigned result;
    ERRCODE ec = readDICounter(addr, chan, &result);
    if (ec == EC_OK) {
        if (count.isfloat)
            storeFloat(count, static_cast<float>(result));
        else
            storeWord(count, static_cast<long>(result & 0xFFFF));
    }
    return ec;
}

constexpr operands::List clearCounterOperands = operands::list(operands::addr, operands::chan);
ERRCODE clearCounter(TLIPARAM *params, int addr, unsigned *)
{
    int chan = wordIn(params[1]);
    if (chan < 0 || chan > CHAN_MAX_COUNTER)
        return EC_BAD_CHANNEL;
    return clearDICounter(addr, chan);
}

constexpr operands::List resetStatusOperands = operands::list(operands::addr);
ERRCODE resetStatus(TLIPARAM *, int addr, unsigned *)
{
    int result = 0;
    return HostCmd(HOST_RESET_STATUS, addr, 0, FALSE, &result);
}

constexpr operands::List readStatusOperands = operands::list(operands::addr, operands::status);
ERRCODE readStatus(TLIPARAM *params, int addr, unsigned *)
{
    int result = 0;
    ERRCODE ec = HostCmd(HOST_READ_STATUS, addr, 0, FALSE, &result);
    if (ec == EC_OK)
        storeWord(params[1], result);
    return ec;
}

// The watchdog is always enabled.
constexpr operands::List setWatchdogOperands = operands::list(operands::addr, operands::hsecs);
ERRCODE setWatchdog(TLIPARAM *params, int addr, unsigned *)
{
    int hsecs = wordIn(params[1]);
    if (hsecs < 0 || hsecs > HSECS_MAX)
        return EC_BAD_HSECS;
    int result = 0;
    return HostCmd(HOST_SET_WATCHDOG, addr, hsecs, TRUE, &result);
}

// The host-OK broadcast "~**": no address, no reply.
constexpr operands::List hostOkOperands = operands::list();
ERRCODE hostOk(TLIPARAM *, int, unsigned *) { return hostOkBroadcast(); }

// Every instruction reports its code, and its operands begin with those
// that its body reads and writes, at the positions the body uses.
#define VELDRAN_INSTRUCTION_CHECKS(name, description, body, ...)                                             \
    static_assert(operands::indexOf(operands::name, operands::errcode) >= 0, #name ": an ErrCode: operand"); \
    static_assert(operands::startsWith(operands::name, body##Operands), #name ": the operands of " #body " first");
VELDRAN_INSTRUCTIONS(VELDRAN_INSTRUCTION_CHECKS)

} // namespace

// One function per instruction: the call convention with the instruction's
// body and the positions of its operands.
#define VELDRAN_INSTRUCTION_FUNCTION(name, description, body, ...)            \
    BOOL TLMCALL name(int32_t rungState, int32_t, TLIPARAM *params)           \
    {                                                                         \
        static constexpr Instruction ins = instruction(operands::name, body); \
        return perform(ins, rungState, params);                               \
    }

extern "C" {
VELDRAN_INSTRUCTIONS(VELDRAN_INSTRUCTION_FUNCTION)
}
