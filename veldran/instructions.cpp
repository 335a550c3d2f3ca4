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
#include "comm.h"
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
// `mask` starts as 255 and is stored in "ErrChan:" where there is one.
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

bool gateClosed() { return TopDoc == 0 && (Mode == 1 || Mode == 0 || Mode == -1); }

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
        HlpPrintf("\n addr=%d  ec=%d", addr, static_cast<int>(ec));
    storeWord(params[ins.errCode], static_cast<long>(ec));
    if (ins.errChan >= 0)
        storeWord(params[ins.errChan], static_cast<long>(mask));
    return FALSE;
}

// ---------------------------------------------------------------------------
// Analog.  Operands: Addr, Format, AIN[8], ErrCode (, ErrChan).

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

// Addr, Chan, AOUT, ErrCode.
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

// Addr, XORmask, DIN, ErrCode: 14 input bits, bits 14 and 15 always 0.
ERRCODE read7041(TLIPARAM *params, int addr, unsigned *)
{
    return readInputs(params[2], addr, wordIn(params[1]), 0, 0x3FFF);
}

// Addr, DOUT, ErrCode: the whole word as four digits.
ERRCODE write7043(TLIPARAM *params, int addr, unsigned *) { return writeDO(addr, wordIn(params[1]), 4); }

// Addr, DIN, ErrCode: the first two digits of the reply.
ERRCODE read7052(TLIPARAM *params, int addr, unsigned *) { return readInputs(params[1], addr, 0, 8, 0xFF); }

// Addr, XORmask, DIN, ErrCode: all sixteen bits.
ERRCODE read7053(TLIPARAM *params, int addr, unsigned *)
{
    return readInputs(params[2], addr, wordIn(params[1]), 0, 0xFFFF);
}

// Addr, DOUT, DIN, ErrCode: write the outputs, then read back the inputs,
// which the last digit of the reply carries inverted.
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

ERRCODE io7060(TLIPARAM *params, int addr, unsigned *) { return writeRead(params, addr, 1); }
ERRCODE io7065(TLIPARAM *params, int addr, unsigned *) { return writeRead(params, addr, 2); }

// ---------------------------------------------------------------------------
// Counters, status and watchdog.

constexpr int CHAN_MAX_COUNTER = 15;
constexpr int HSECS_MAX = 255;

enum HostSubcommand { HOST_READ_STATUS = 0, HOST_RESET_STATUS = 1, HOST_SET_WATCHDOG = 3 };

// Addr, Chan, Count, ErrCode.
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

// Addr, Chan, ErrCode.
ERRCODE clearCounter(TLIPARAM *params, int addr, unsigned *)
{
    int chan = wordIn(params[1]);
    if (chan < 0 || chan > CHAN_MAX_COUNTER)
        return EC_BAD_CHANNEL;
    return clearDICounter(addr, chan);
}

// Addr, ErrCode.
ERRCODE resetStatus(TLIPARAM *, int addr, unsigned *)
{
    int result = 0;
    return HostCmd(HOST_RESET_STATUS, addr, 0, FALSE, &result);
}

// Addr, Status, ErrCode.
ERRCODE readStatus(TLIPARAM *params, int addr, unsigned *)
{
    int result = 0;
    ERRCODE ec = HostCmd(HOST_READ_STATUS, addr, 0, FALSE, &result);
    if (ec == EC_OK)
        storeWord(params[1], result);
    return ec;
}

// Addr, HSecs, ErrCode.  The watchdog is always enabled.
ERRCODE setWatchdog(TLIPARAM *params, int addr, unsigned *)
{
    int hsecs = wordIn(params[1]);
    if (hsecs < 0 || hsecs > HSECS_MAX)
        return EC_BAD_HSECS;
    int result = 0;
    return HostCmd(HOST_SET_WATCHDOG, addr, hsecs, TRUE, &result);
}

// ErrCode.  The host-OK broadcast "~**": no address, no reply; it only
// waits for the frame to leave the transmit queue.
ERRCODE hostOk(TLIPARAM *, int, unsigned *)
{
    ERRCODE ec = sendLine(endCommand(beginBroadcast()), false);
    if (ec != EC_OK)
        return ec;
    timer = HlpPtimerSet(static_cast<int32_t>(timeout));
    for (;;) {
        // The queue is tested first: drained just as time ran out is success.
        nchars = _COMxmitqueue(port);
        if (nchars == 0)
            return EC_OK;
        if (HlpPtimerPoll(timer) <= 0)
            return EC_TIMEOUT;
    }
}

constexpr Instruction i7017 = instruction(operands::I7017, readAnalog);
constexpr Instruction i7018 = instruction(operands::I7018, readAnalog);
constexpr Instruction i7024 = instruction(operands::I7024, writeAnalog);
constexpr Instruction i7041 = instruction(operands::I7041, read7041);
constexpr Instruction i7043 = instruction(operands::I7043, write7043);
constexpr Instruction i7052 = instruction(operands::I7052, read7052);
constexpr Instruction i7053 = instruction(operands::I7053, read7053);
constexpr Instruction i7060 = instruction(operands::I7060, io7060);
constexpr Instruction i7065 = instruction(operands::I7065, io7065);
constexpr Instruction i7rdc = instruction(operands::I7RDC, readCounter);
constexpr Instruction i7cdc = instruction(operands::I7CDC, clearCounter);
constexpr Instruction i7rsms = instruction(operands::I7RSMS, resetStatus);
constexpr Instruction i7rdms = instruction(operands::I7RDMS, readStatus);
constexpr Instruction i7shwv = instruction(operands::I7SHWV, setWatchdog);
constexpr Instruction i7hok = instruction(operands::I7HOK, hostOk);

// Every instruction reports its code; the bodies read and write the
// operands at the positions below.
constexpr const operands::List *allLists[] = {&operands::I7017,  &operands::I7018,  &operands::I7024, &operands::I7041,
                                              &operands::I7043,  &operands::I7052,  &operands::I7053, &operands::I7060,
                                              &operands::I7065,  &operands::I7RDC,  &operands::I7CDC, &operands::I7RSMS,
                                              &operands::I7RDMS, &operands::I7SHWV, &operands::I7HOK};
constexpr bool everyListHasErrCode()
{
    for (const operands::List *l : allLists)
        if (operands::indexOf(*l, operands::errcode) < 0)
            return false;
    return true;
}
static_assert(everyListHasErrCode(), "every instruction has an ErrCode: operand");
static_assert(!i7hok.hasAddress && i7017.errChan < 0 && i7018.errChan == 4, "addresses and channel masks");
using operands::at;
static_assert(at(operands::I7017, 1, operands::format) && at(operands::I7017, 2, operands::ain) &&
                  at(operands::I7018, 1, operands::format) && at(operands::I7018, 2, operands::ain),
              "readAnalog: Format at 1, AIN at 2");
static_assert(at(operands::I7024, 1, operands::chan) && at(operands::I7024, 2, operands::aout),
              "writeAnalog: Chan at 1, AOUT at 2");
static_assert(at(operands::I7041, 1, operands::xormask) && at(operands::I7041, 2, operands::din) &&
                  at(operands::I7053, 1, operands::xormask) && at(operands::I7053, 2, operands::din) &&
                  at(operands::I7052, 1, operands::din) && at(operands::I7043, 1, operands::dout),
              "digital reads and writes");
static_assert(at(operands::I7060, 1, operands::dout) && at(operands::I7060, 2, operands::din) &&
                  at(operands::I7065, 1, operands::dout) && at(operands::I7065, 2, operands::din),
              "writeRead: DOUT at 1, DIN at 2");
static_assert(at(operands::I7RDC, 1, operands::chan) && at(operands::I7RDC, 2, operands::count) &&
                  at(operands::I7CDC, 1, operands::chan) && at(operands::I7RDMS, 1, operands::status) &&
                  at(operands::I7SHWV, 1, operands::hsecs),
              "counters, status and watchdog");

} // namespace

extern "C" {
BOOL TLMCALL I7017(int32_t rungState, int32_t, TLIPARAM *params) { return perform(i7017, rungState, params); }
BOOL TLMCALL I7018(int32_t rungState, int32_t, TLIPARAM *params) { return perform(i7018, rungState, params); }
BOOL TLMCALL I7024(int32_t rungState, int32_t, TLIPARAM *params) { return perform(i7024, rungState, params); }
BOOL TLMCALL I7041(int32_t rungState, int32_t, TLIPARAM *params) { return perform(i7041, rungState, params); }
BOOL TLMCALL I7043(int32_t rungState, int32_t, TLIPARAM *params) { return perform(i7043, rungState, params); }
BOOL TLMCALL I7052(int32_t rungState, int32_t, TLIPARAM *params) { return perform(i7052, rungState, params); }
BOOL TLMCALL I7053(int32_t rungState, int32_t, TLIPARAM *params) { return perform(i7053, rungState, params); }
BOOL TLMCALL I7060(int32_t rungState, int32_t, TLIPARAM *params) { return perform(i7060, rungState, params); }
BOOL TLMCALL I7065(int32_t rungState, int32_t, TLIPARAM *params) { return perform(i7065, rungState, params); }
BOOL TLMCALL I7RDC(int32_t rungState, int32_t, TLIPARAM *params) { return perform(i7rdc, rungState, params); }
BOOL TLMCALL I7CDC(int32_t rungState, int32_t, TLIPARAM *params) { return perform(i7cdc, rungState, params); }
BOOL TLMCALL I7RSMS(int32_t rungState, int32_t, TLIPARAM *params) { return perform(i7rsms, rungState, params); }
BOOL TLMCALL I7RDMS(int32_t rungState, int32_t, TLIPARAM *params) { return perform(i7rdms, rungState, params); }
BOOL TLMCALL I7SHWV(int32_t rungState, int32_t, TLIPARAM *params) { return perform(i7shwv, rungState, params); }
BOOL TLMCALL I7HOK(int32_t rungState, int32_t, TLIPARAM *params) { return perform(i7hok, rungState, params); }
}
