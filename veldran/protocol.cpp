// The command/response exchange with the I/O modules, the host-OK
// broadcast, and the small field encoders and decoders that every command
// uses.  After Init has opened the port, everything the module sends and
// receives goes through here.
//
// A command line is a command character, the module address as two hex
// digits, the command's data, an optional two-digit checksum and a carriage
// return.  The reply is collected character by character within the
// time-out: everything before the operation's start character is noise
// (except the refusal characters), the line ends at the carriage return and
// holds at most 80 characters.
#include "protocol.h"

#include <iterator>

#include "TLMUSR.h"
#include "comm.h"
#include "debug_trace.h"

char dout[LINE_MAX + 1];
char din[LINE_MAX + 1];
BOOL lineSettled = TRUE;

namespace {

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

constexpr char hexDigits[] = "0123456789ABCDEF";
static_assert(std::size(hexDigits) == 17, "sixteen digits and the terminator");

// What each operation does differently (operation_table.h); everything
// else is shared.
#define VELDRAN_OPERATION_SETTINGS(operation, ...) {__VA_ARGS__},
constexpr OperationSettings operations[] = {VELDRAN_OPERATIONS(VELDRAN_OPERATION_SETTINGS)};
static_assert(std::size(operations) == OP_COUNT, "one row per operation");
static_assert(operations[OP_READ_COUNTER].start == '!' && operations[OP_READ_AIN].start == '>', "start characters");
constexpr bool addressedIffBang()
{
    for (const OperationSettings &op : operations)
        if (op.addressed != (op.start == '!'))
            return false;
    return true;
}
static_assert(addressedIffBang(), "the \"!\" replies, and only they, repeat the address");

// Three character times (ten bits each) without a character mean, on a
// line that delivers what it receives at once, that nothing more of an
// earlier reply is coming.  A serial adapter hands its characters over late
// and in bursts (a USB adapter when its latency timer runs out), so a
// pause between two bursts is not quiet: the quiet interval grows by
// `latency`.
constexpr int32_t QUIET_CHARACTERS = 3;
constexpr int32_t QUIET_MIN_MS = 2;
// A line that never falls quiet and never sends a carriage return is left
// after the time-out, the quiet interval and a whole reply line's
// characters (80 and the carriage return) besides: long enough for a long
// stale reply still coming through an adapter, whatever the time-out.
constexpr int32_t SETTLE_LINE_CHARACTERS = LINE_MAX + 1;

// The time of `chars` characters at the line's speed, in whole ms rounded up.
int32_t charactersMs(int32_t chars) { return BaudRate <= 0 ? 0 : (chars * 10 * 1000 + BaudRate - 1) / BaudRate; }

int32_t quietInterval()
{
    int32_t ms = charactersMs(QUIET_CHARACTERS);
    return (ms < QUIET_MIN_MS ? QUIET_MIN_MS : ms) + static_cast<int32_t>(latency);
}

// What a character before the start character does to the exchange.
ERRCODE refusalOf(const OperationSettings &op, char c, Before *how)
{
    if (c == '?') {
        *how = op.question;
        return EC_REFUSED;
    }
    if (c == '!') {
        *how = op.bang;
        return EC_BANG;
    }
    *how = DROPPED;
    return EC_OK;
}

} // namespace

// ---------------------------------------------------------------------------
// Field helpers.

int CheckSum(char *buf, int len)
{
    unsigned sum = 0;
    for (int i = 0; i < len; ++i)
        sum += static_cast<unsigned char>(buf[i]);
    itoh(static_cast<UBYTE>(sum & 0xFF), buf + len);
    return 2;
}

void itoh(UBYTE abyte, char *obuf)
{
    obuf[0] = hexDigits[abyte >> 4];
    obuf[1] = hexDigits[abyte & 0x0F];
}

ERRCODE itohx(int aint, char *obuf, int count)
{
    if (count < 1 || count > 4)
        return 0xFFFFFFFFu;
    unsigned v = static_cast<unsigned>(aint);
    for (int i = count - 1; i >= 0; --i) {
        obuf[i] = hexDigits[v & 0x0F];
        v >>= 4;
    }
    return EC_OK;
}

char keyupper(char k) { return (k >= 'a' && k <= 'z') ? static_cast<char>(k - 'a' + 'A') : k; }

int htoi(const char *s, int maxbytes)
{
    uint32_t value = 0; // held as a signed 32-bit number in the end
    for (int i = 0; i < maxbytes && s[i] != '\0'; ++i) {
        char c = s[i];
        char u = keyupper(c);
        if (c >= '0' && c <= '9')
            value = value * 16 + static_cast<uint32_t>(c - '0');
        else if (u >= 'A' && u <= 'F')
            value = value * 16 + static_cast<uint32_t>(u - 'A' + 10);
        else if (c == ' ')
            return value == 0 ? -1 : static_cast<int>(value);
        else
            return -1;
    }
    return static_cast<int>(value);
}

int dtof(const char *s, int maxbytes, float *fvalue)
{
    // Digits accumulate in single precision; the division, the addition and
    // the sign are worked in double and narrowed once, so "+01.111" gives
    // the float nearest to 1.111.
    float whole = 0.0f;
    float fraction = 0.0f;
    int32_t divisor = 1;
    int sign = 1;
    bool point = false;
    int pos = 0;

    if (maxbytes > 0) {
        if (s[0] == '+') {
            pos = 1;
        } else if (s[0] == '-') {
            sign = -1;
            pos = 1;
        }
    }
    for (; pos < maxbytes && s[pos] != '\0'; ++pos) {
        char c = s[pos];
        bool digit = c >= '0' && c <= '9';
        if (!point) {
            if (digit)
                whole = whole * 10.0f + static_cast<float>(c - '0');
            else if (c == '.')
                point = true;
            else
                break;
        } else {
            if (!digit)
                break;
            // Past nine decimals a digit no longer shows in a float; it is
            // consumed but the divisor must not overflow.
            if (divisor < 1000000000) {
                fraction = fraction * 10.0f + static_cast<float>(c - '0');
                divisor *= 10;
            }
        }
    }
    *fvalue = static_cast<float>((static_cast<double>(fraction) / divisor + static_cast<double>(whole)) * sign);
    return pos;
}

void wait(long msecs)
{
    int32_t mark = HlpPtimerSet(static_cast<int32_t>(msecs));
    while (HlpPtimerPoll(mark) > 0) {
    }
}

// ---------------------------------------------------------------------------
// The exchange.

// On RS-485 a line sent while a module is still transmitting garbles both,
// and a reply that comes after the queues were emptied would be taken for
// the next command's.  So after an exchange that gave up before its reply's
// carriage return (time-out, a refusal reported at once, overflow), the
// next line waits until that carriage return has been read, or the line
// has been quiet for the quiet interval, or the time-out, the quiet interval
// and a reply line's time have passed (a module that babbles on).  A
// settled line costs nothing.
void settleLine(void)
{
    if (lineSettled)
        return;
    int32_t quietMs = quietInterval();
    int32_t limit = HlpPtimerSet(static_cast<int32_t>(timeout) + quietMs + charactersMs(SETTLE_LINE_CHARACTERS));
    int32_t quiet = HlpPtimerSet(quietMs);
    for (;;) {
        if (HlpPtimerPoll(limit) <= 0)
            return; // still busy: the line goes out regardless
        if (_COMrcvqueue(port) > 0) {
            if (static_cast<char>(_COMgetc(port)) == CR)
                break;
            quiet = HlpPtimerSet(quietMs);
        } else if (HlpPtimerPoll(quiet) <= 0) {
            break;
        }
    }
    lineSettled = TRUE;
}

int beginCommand(Operation op, int addr)
{
    dout[0] = operations[op].command;
    itoh(static_cast<UBYTE>(addr & 0xFF), dout + 1);
    return 3;
}

int endCommand(int pos)
{
    if (useCheckSum)
        pos += CheckSum(dout, pos);
    dout[pos++] = CR;
    return pos;
}

Collected collectChar(Operation op, ReplyState *reply, char (&line)[LINE_MAX + 1], char c)
{
    const OperationSettings &settings = operations[op];
    if (c == CR)
        return COLLECT_END; // whatever came before
    if (reply->started) {
        line[reply->pos++] = c;
        return reply->pos > LINE_MAX ? COLLECT_OVERFLOW : COLLECT_STORED;
    }
    if (c == settings.start) {
        reply->started = true;
        line[0] = c;
        reply->pos = 1;
        return COLLECT_START;
    }
    Before how;
    ERRCODE code = refusalOf(settings, c, &how);
    if (how == FAILS_AT_ONCE || how == FAILS_AT_END)
        reply->noted = code; // a later refusal replaces an earlier one
    return how == FAILS_AT_ONCE ? COLLECT_REFUSED : how == FAILS_AT_END ? COLLECT_NOTED : COLLECT_DROPPED;
}

namespace {

// Waits for the line to settle, empties the transmit queue (and, for a line
// that expects a reply, the receive queue) and hands dout's first len
// characters to the serial library: 0, or 1010 when it refused them.
ERRCODE sendLine(int len, bool expectsReply)
{
    // Nothing left from an earlier exchange may be taken for this reply.
    settleLine();
    _COMxmitclear(port);
    if (expectsReply)
        _COMrcvclear(port);
    if (_COMwrite(port, dout, len) == 0)
        return EC_WRITE_FAILED;
    if (expectsReply)
        lineSettled = FALSE; // until this reply's carriage return has been read
    return EC_OK;
}

// Sends dout's first len characters and collects the reply into din.  0 when
// a carriage return ended the line with no refusal noted; *stored is the
// count of characters stored (also on failure).
ERRCODE transact(Operation op, int len, int *stored)
{
    *stored = 0;
    ERRCODE ec = sendLine(len, true);
    if (ec != EC_OK)
        return ec;
    // The time-out covers the rest of the transmission and the whole reply.
    int32_t mark = HlpPtimerSet(static_cast<int32_t>(timeout));

    ReplyState reply = {false, 0, EC_OK};
    for (;;) {
        if (HlpPtimerPoll(mark) <= 0) {
            *stored = reply.pos;
            return EC_TIMEOUT;
        }
        if (_COMrcvqueue(port) <= 0)
            continue;
        switch (collectChar(op, &reply, din, static_cast<char>(_COMgetc(port)))) {
        case COLLECT_END:
            lineSettled = TRUE;
            *stored = reply.pos;
            if (operations[op].replyTrace && debug) {
                din[reply.pos] = '\0';
                HlpPrintf("\n" TRACE_REPLY "%s", din);
            }
            return reply.noted;
        case COLLECT_OVERFLOW:
            *stored = reply.pos;
            return EC_BAD_LENGTH;
        case COLLECT_REFUSED:
            return reply.noted;
        default:
            break;
        }
    }
}

// With the checksum on, a reply that the analog read takes must hold more
// than its start character and the checksum.
constexpr int ANALOG_SHORTEST_WITH_CHECKSUM = 4;

// Whether `stored` characters (the checksum included) keep the rule.
bool lengthFits(LengthRule rule, int stored, int rlen)
{
    int expected = useCheckSum ? rlen + 2 : rlen;
    switch (rule) {
    case EXACTLY:
        return stored == expected;
    case AT_LEAST:
        return stored >= expected;
    case ANALOG_FIELDS:
        return !useCheckSum || stored >= ANALOG_SHORTEST_WITH_CHECKSUM;
    }
    return false;
}

// Compares the last two of `stored` characters with the checksum of the
// rest (which it writes over them).
ERRCODE verifyChecksum(Operation op, int stored)
{
    char high = din[stored - 2];
    char low = din[stored - 1];
    CheckSum(din, stored - 2);
    if (din[stored - 2] == high && din[stored - 1] == low)
        return EC_OK;
    if (operations[op].checksumTrace && debug)
        HlpPrintf("\n" TRACE_CHECKSUM " rec: %x  cal: %x", static_cast<unsigned char>(high),
                  static_cast<unsigned char>(din[stored - 2]));
    return EC_BAD_CHECKSUM;
}

} // namespace

ERRCODE exchange(Operation op, int len, int rlen, LengthRule rule, int *dlen)
{
    int stored;
    ERRCODE ec = transact(op, len, &stored);
    *dlen = useCheckSum ? stored - 2 : stored;
    if (ec != EC_OK)
        return ec;
    if (!lengthFits(rule, stored, rlen))
        return EC_BAD_LENGTH;
    if (useCheckSum) {
        ec = verifyChecksum(op, stored);
        if (ec != EC_OK)
            return ec;
    }
    // "#AA" and "@AA" replies carry no address; the "!AA" ones do, and a
    // reply from another module (a late one, or one that answered a
    // garbled command) is not this module's.
    if (operations[op].addressed && (keyupper(din[1]) != dout[1] || keyupper(din[2]) != dout[2]))
        return EC_BAD_LENGTH;
    return EC_OK;
}

// ---------------------------------------------------------------------------
// The host-OK broadcast: "~" and two asterisks where a command carries the
// address.  No reply is expected, so the receive queue is left alone and
// the line stays settled.

ERRCODE hostOkBroadcast(void)
{
    dout[0] = operations[OP_HOST_CMD].command;
    dout[1] = '*';
    dout[2] = '*';
    ERRCODE ec = sendLine(endCommand(3), false);
    if (ec != EC_OK)
        return ec;
    int32_t mark = HlpPtimerSet(static_cast<int32_t>(timeout));
    for (;;) {
        // The queue is tested first: drained just as time ran out is success.
        if (_COMxmitqueue(port) == 0)
            return EC_OK;
        if (HlpPtimerPoll(mark) <= 0)
            return EC_TIMEOUT;
    }
}
