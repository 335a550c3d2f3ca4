// The seven protocol operations.  Each builds its command line, runs one
// exchange and decodes the reply; outputs are written only on success
// (readAIN's channel mask aside).
#include <string.h>

#include "TLMUSR.h"
#include "debug_trace.h"
#include "protocol.h"

// ---------------------------------------------------------------------------
// Digital input/output and counters.

// "@AA" -> ">" and four hex digits: the module's I/O state as one word.
ERRCODE readDIO(int addr, int *result)
{
    int pos = beginCommand(OP_READ_DIO, addr);
    int dlen;
    ERRCODE ec = exchange(OP_READ_DIO, endCommand(pos), 5, EXACTLY, &dlen);
    if (ec != EC_OK)
        return ec;
    int word = htoi(din + 1, 4);
    if (word < 0)
        return EC_BAD_LENGTH; // right length, but not a hex word
    *result = word;
    return EC_OK;
}

// "@AA" and nchars hex digits of data -> ">".
ERRCODE writeDO(int addr, int data, int count)
{
    int pos = beginCommand(OP_WRITE_DO, addr);
    if (itohx(data, dout + pos, count) != EC_OK)
        return EC_BAD_WIDTH;
    pos += count;
    int dlen;
    return exchange(OP_WRITE_DO, endCommand(pos), 1, EXACTLY, &dlen);
}

// "#AAN" -> "!AA" and five hex digits of count.
ERRCODE readDICounter(int addr, int chan, unsigned *result)
{
    int pos = beginCommand(OP_READ_COUNTER, addr);
    itohx(chan, dout + pos, 1);
    ++pos;
    int dlen;
    ERRCODE ec = exchange(OP_READ_COUNTER, endCommand(pos), 8, EXACTLY, &dlen);
    if (ec != EC_OK)
        return ec;
    int count = htoi(din + 3, 5);
    if (count < 0)
        return EC_BAD_LENGTH; // not a hex count
    *result = static_cast<unsigned>(count);
    return EC_OK;
}

// "$AACN" -> "!AA".
ERRCODE clearDICounter(int addr, int chan)
{
    int pos = beginCommand(OP_CLEAR_COUNTER, addr);
    dout[pos++] = 'C';
    itohx(chan, dout + pos, 1);
    ++pos;
    int dlen;
    return exchange(OP_CLEAR_COUNTER, endCommand(pos), 3, EXACTLY, &dlen);
}

// ---------------------------------------------------------------------------
// Analog input/output.

namespace {

constexpr int DECIMAL_FIELD = 7; // sign, digits, point, digits
constexpr int HEX_FIELD = 4;
constexpr int HEX_NO_VALUE_FIELD = 5; // a minus sign and four characters
constexpr int AOUT_FIELD = 7;

unsigned allChannels(int numchannels)
{
    if (numchannels <= 0)
        return 0;
    return numchannels >= 32 ? 0xFFFFFFFFu : (1u << numchannels) - 1;
}

// Decodes the hex form: four digits a channel, or a five-character field
// beginning with a minus sign for a channel without a value.
void decodeHex(int dlen, int numchannels, float *result, unsigned *status)
{
    int p = 1;
    for (int j = 0; j < numchannels; ++j) {
        unsigned bit = j < 32 ? 1u << j : 0;
        if (p < dlen && din[p] == '-') {
            result[j] = 0.0f;
            p += HEX_NO_VALUE_FIELD;
        } else if (p + HEX_FIELD <= dlen) {
            int v = htoi(din + p, HEX_FIELD);
            result[j] = static_cast<float>(v);
            if (v >= 0)
                *status &= ~bit; // a rejected field has no value
            p += HEX_FIELD;
        } else {
            result[j] = 0.0f; // past the end of the reply
            p += HEX_FIELD;
        }
    }
}

// Decodes the decimal form: seven characters a channel; a field that stops
// early keeps its bit and shifts the later fields.
void decodeDecimal(int dlen, int numchannels, float *result, unsigned *status)
{
    int p = 1;
    for (int j = 0; j < numchannels; ++j) {
        unsigned bit = j < 32 ? 1u << j : 0;
        if (p + DECIMAL_FIELD <= dlen) {
            float v;
            int used = dtof(din + p, DECIMAL_FIELD, &v);
            result[j] = v;
            if (used == DECIMAL_FIELD)
                *status &= ~bit;
            p += used;
        } else {
            result[j] = 0.0f; // wholly or partly past the end of the reply
            p += DECIMAL_FIELD;
        }
    }
}

// The count trace of the codes that concern the reply's length; `cnt` is
// the reply's length without the checksum.
ERRCODE analogCountTrace(ERRCODE ec, int cnt, unsigned status)
{
    if (debug && (ec == EC_AIN_LENGTH || ec == EC_BAD_LENGTH || ec == EC_BAD_FORMAT)) {
        int shown = cnt < 0 ? 0 : (cnt > LINE_MAX ? LINE_MAX : cnt);
        din[shown] = '\0';
        HlpPrintf("\n" TRACE_COUNT "%d sts=%4X \n\tstr=%s", cnt, status, din);
    }
    return ec;
}

} // namespace

// "#AA" -> ">" and one field per channel, decimal or (format 2) hex.
ERRCODE readAIN(int addr, int format, int numchannels, float *result, unsigned *status)
{
    *status = allChannels(numchannels);
    int pos = beginCommand(OP_READ_AIN, addr);
    int dlen;
    ERRCODE ec = exchange(OP_READ_AIN, endCommand(pos), 0, ANALOG_FIELDS, &dlen);
    if (ec != EC_OK)
        return analogCountTrace(ec, dlen, *status);

    ERRCODE noted = EC_OK;
    if (format == 2) {
        if (dlen > HEX_NO_VALUE_FIELD * numchannels + 1)
            return analogCountTrace(EC_BAD_FORMAT, dlen, *status);
        if (dlen != HEX_FIELD * numchannels + 1)
            noted = EC_AIN_LENGTH;
        decodeHex(dlen, numchannels, result, status);
    } else {
        if (dlen != DECIMAL_FIELD * numchannels + 1)
            noted = EC_AIN_LENGTH;
        decodeDecimal(dlen, numchannels, result, status);
    }
    // A reply that left any channel without a valid value is no clean read.
    if (*status & allChannels(numchannels))
        noted = EC_AIN_LENGTH;
    return analogCountTrace(noted, dlen, *status);
}

// "#AAN" and a seven-character value field -> ">".
ERRCODE writeAO(int addr, int chan, float fdata)
{
    int pos = beginCommand(OP_WRITE_AO, addr);
    itohx(chan, dout + pos, 1);
    ++pos;
    // "%+07.3f" makes at most about 50 characters of any float; only the
    // first seven are sent.
    char text[64];
    memset(text, 0, sizeof text);
    HlpSprintf(text, "%+07.3f", static_cast<double>(fdata));
    memcpy(dout + pos, text, AOUT_FIELD);
    pos += AOUT_FIELD;
    int dlen;
    return exchange(OP_WRITE_AO, endCommand(pos), 1, EXACTLY, &dlen);
}

// ---------------------------------------------------------------------------
// Module status and host watchdog: "~AA" and a sub-command.

ERRCODE HostCmd(int cmd, int addr, int value, BOOL state, int *result)
{
    int pos = beginCommand(OP_HOST_CMD, addr);
    itohx(cmd, dout + pos, 1);
    ++pos;
    int rlen;
    switch (cmd) {
    case HOST_READ_STATUS:
    case HOST_READ_VALUE:
        rlen = 5;
        break;
    case HOST_RESET_STATUS:
        rlen = 3;
        break;
    case HOST_SET_WATCHDOG:
        dout[pos++] = state == 1 ? '1' : '0';
        itohx(value, dout + pos, 2);
        pos += 2;
        rlen = 3;
        break;
    default:
        return EC_BAD_SUBCOMMAND;
    }

    int dlen;
    ERRCODE ec = exchange(OP_HOST_CMD, endCommand(pos), rlen, cmd == HOST_READ_VALUE ? AT_LEAST : EXACTLY, &dlen);
    if (ec != EC_OK)
        return ec;
    if (cmd == HOST_READ_STATUS || cmd == HOST_READ_VALUE) {
        int v = htoi(din + dlen - 2, 2);
        if (v < 0)
            return EC_BAD_LENGTH; // not two hex digits
        *result = v;
    }
    return EC_OK;
}
