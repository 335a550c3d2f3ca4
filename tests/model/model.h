// A reference model of the module's side of the serial protocol, written
// from the protocol's rules and kept apart from the module's own code: the
// fuzz harnesses and the soak compare what the module did with what this
// model says it must do for the same reply bytes, arrival times and
// settings.  It keeps its own checksum and hex helpers on purpose, so that
// a fault in the module's cannot hide in both.
//
// The model is deliberately plain: one routine per rule, no shared tables
// with the module, std::string and std::vector wherever that is simpler.
#ifndef TESTS_MODEL_MODEL_H
#define TESTS_MODEL_MODEL_H

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace model {

enum : uint32_t {
    OK = 0,
    BAD_COMPORT = 1001,
    BAD_OPTION = 1002,
    BAD_TIMEOUT = 1003,
    TIMEOUT = 1005,
    REFUSED = 1006,
    BAD_ADDRESS = 1007,
    BAD_LENGTH = 1008,
    BAD_BAUD = 1009,
    WRITE_FAILED = 1010,
    BAD_CHECKSUM = 1011,
    BANG = 1012,
    BAD_WIDTH = 1013,
    BAD_AOUT = 1014,
    BAD_FORMAT = 1015,
    BAD_CHANNEL = 1016,
    BAD_AIN_TYPE = 1017,
    AIN_LENGTH = 1018,
    BAD_HSECS = 1019,
    BAD_SUBCOMMAND = 1020,
    BAD_LATENCY = 1021,
};

// One reply character and the receive poll (counted from 0 after the
// write) from which on it is available.
struct Timed {
    int32_t due;
    char c;
};
using Script = std::vector<Timed>;

// The timing of the exchange: the time-out in milliseconds and how far the
// driven clock moves on every timer poll.
struct Clock {
    int32_t timeout;
    int32_t msPerPoll;
};

inline std::string hex2(unsigned v)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    s += digits[(v >> 4) & 15];
    s += digits[v & 15];
    return s;
}

inline std::string sumOf(const std::string &text)
{
    unsigned s = 0;
    for (unsigned char c : text)
        s += c;
    return hex2(s & 0xFF);
}

// The command line as it must go over the wire.
inline std::string frame(const std::string &text, bool checksum)
{
    return text + (checksum ? sumOf(text) : std::string()) + "\r";
}

inline std::string addrField(int addr) { return hex2(static_cast<unsigned>(addr) & 0xFF); }

inline std::string hexDigits(unsigned v, int n)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s(static_cast<size_t>(n), '0');
    for (int i = n - 1; i >= 0; --i, v >>= 4)
        s[static_cast<size_t>(i)] = digits[v & 15];
    return s;
}

// Hex field: digits (either case) accumulate; a blank ends the number (a
// value of 0 so far makes it -1); any other character makes it -1; a zero
// character or the width limit ends it without error.
inline int32_t hexField(const char *s, int width)
{
    uint32_t v = 0;
    for (int i = 0; i < width; ++i) {
        char c = s[i];
        if (c == '\0')
            break;
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (c == ' ')
            return v == 0 ? -1 : static_cast<int32_t>(v);
        else
            return -1;
        v = v * 16 + static_cast<uint32_t>(d);
    }
    return static_cast<int32_t>(v);
}

// Decimal field: optional sign at the first position, digits, one point,
// digits.  Digits accumulate in single precision; the quotient, the sum and
// the sign in double, rounded to single once.
inline int decimalField(const char *s, int width, float *out)
{
    float whole = 0, frac = 0;
    int64_t div = 1;
    double sign = 1;
    int i = 0;
    if (width > 0 && (s[0] == '+' || s[0] == '-')) {
        sign = s[0] == '-' ? -1 : 1;
        i = 1;
    }
    bool point = false;
    while (i < width && s[i] != '\0') {
        char c = s[i];
        if (c >= '0' && c <= '9') {
            if (point) {
                frac = frac * 10.0f + static_cast<float>(c - '0');
                div *= 10;
            } else {
                whole = whole * 10.0f + static_cast<float>(c - '0');
            }
        } else if (c == '.' && !point) {
            point = true;
        } else {
            break;
        }
        ++i;
    }
    *out = static_cast<float>((static_cast<double>(frac) / static_cast<double>(div) + whole) * sign);
    return i;
}

// What a character before the start character does.
enum Refusal { IGNORE, AT_ONCE, AT_END, IS_START };

struct Collect {
    char start;
    Refusal question; // "?"
    Refusal bang;     // "!"
};

struct Line {
    uint32_t code = OK; // of the collection alone
    std::string stored; // from the start character on, without the CR
    int32_t polls = 0;  // timer polls the collection made
};

// Collects one reply the way the protocol prescribes: every pass polls the
// timer first (expired: time-out), then takes at most one character.
inline Line collect(const Script &script, const Clock &clk, const Collect &how)
{
    Line line;
    bool storing = false;
    uint32_t noted = OK;
    size_t next = 0;
    int64_t now = 0;
    for (int32_t pass = 0;; ++pass) {
        now += clk.msPerPoll;
        ++line.polls;
        if (static_cast<int64_t>(clk.timeout) - now <= 0) {
            line.code = TIMEOUT;
            return line;
        }
        if (next >= script.size() || script[next].due > pass)
            continue;
        char c = script[next++].c;
        if (c == '\r') {
            line.code = noted;
            return line;
        }
        if (storing) {
            line.stored += c;
            if (line.stored.size() > 80) {
                line.code = BAD_LENGTH;
                return line;
            }
            continue;
        }
        if (c == how.start) {
            storing = true;
            line.stored.assign(1, c);
            continue;
        }
        Refusal r = c == '?' ? how.question : c == '!' ? how.bang : IGNORE;
        uint32_t code = c == '?' ? REFUSED : BANG;
        if (r == AT_ONCE) {
            line.code = code;
            return line;
        }
        if (r == AT_END)
            noted = code;
    }
}

// The checksum check of a complete reply: the last two characters against
// the sum of the others, exact (upper-case) digits.
inline bool checksumOk(const std::string &stored)
{
    if (stored.size() < 2)
        return false;
    std::string body = stored.substr(0, stored.size() - 2);
    return sumOf(body) == stored.substr(stored.size() - 2);
}

// ---------------------------------------------------------------------------
// The seven operations.  Each gives the line it sends (empty when nothing is
// sent), its code and its outputs.

struct Result {
    std::string sent; // the command line, empty when nothing is sent
    uint32_t code = OK;
    int32_t polls = 0;         // timer polls of the exchange
    int32_t value = 0;         // readDIO, readDICounter, HostCmd 0 and 2
    std::vector<float> values; // readAIN
    uint32_t mask = 0;         // readAIN
};

struct Env {
    bool checksum;
    bool writeFails;
    Clock clock;
};

// The common part: send, collect, fixed length rule, checksum.  `body` gets
// the reply without its checksum on success.
inline bool exchange(Result &r, const Env &env, const std::string &text, const Script &script, const Collect &how,
                     size_t rlen, bool atLeast, std::string *body)
{
    r.sent = frame(text, env.checksum);
    if (env.writeFails) {
        r.code = WRITE_FAILED;
        return false;
    }
    Line line = collect(script, env.clock, how);
    r.polls = line.polls;
    if (line.code != OK) {
        r.code = line.code;
        return false;
    }
    size_t want = rlen + (env.checksum ? 2 : 0);
    bool lengthOk = atLeast ? line.stored.size() >= want : line.stored.size() == want;
    if (!lengthOk) {
        r.code = BAD_LENGTH;
        return false;
    }
    if (env.checksum) {
        if (!checksumOk(line.stored)) {
            r.code = BAD_CHECKSUM;
            return false;
        }
        line.stored.resize(line.stored.size() - 2);
    }
    // A "!" reply names the module that answered: it must be the one asked
    // (either letter case).
    if (how.start == '!') {
        for (size_t i = 1; i <= 2; ++i) {
            char c = line.stored[i];
            if (c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 'a' + 'A');
            if (c != text[i]) {
                r.code = BAD_LENGTH;
                return false;
            }
        }
    }
    *body = line.stored;
    return true;
}

inline Result readDIO(const Env &env, int addr, const Script &s)
{
    Result r;
    std::string body;
    if (!exchange(r, env, "@" + addrField(addr), s, {'>', AT_ONCE, IGNORE}, 5, false, &body))
        return r;
    int32_t v = hexField(body.c_str() + 1, 4);
    if (v < 0)
        r.code = BAD_LENGTH; // the right length, but no hex word
    else
        r.value = v;
    return r;
}

inline Result writeDO(const Env &env, int addr, int data, int n, const Script &s)
{
    Result r;
    if (n < 1 || n > 4) {
        r.code = BAD_WIDTH; // nothing is sent
        return r;
    }
    std::string body;
    exchange(r, env, "@" + addrField(addr) + hexDigits(static_cast<unsigned>(data), n), s, {'>', AT_ONCE, AT_ONCE}, 1,
             false, &body);
    return r;
}

inline Result readDICounter(const Env &env, int addr, int chan, const Script &s)
{
    Result r;
    std::string body;
    if (!exchange(r, env, "#" + addrField(addr) + hexDigits(static_cast<unsigned>(chan), 1), s,
                  {'!', AT_ONCE, IS_START}, 8, false, &body))
        return r;
    int32_t v = hexField(body.c_str() + 3, 5);
    if (v < 0)
        r.code = BAD_LENGTH;
    else
        r.value = v;
    return r;
}

inline Result clearDICounter(const Env &env, int addr, int chan, const Script &s)
{
    Result r;
    std::string body;
    exchange(r, env, "$" + addrField(addr) + "C" + hexDigits(static_cast<unsigned>(chan), 1), s,
             {'!', AT_ONCE, IS_START}, 3, false, &body);
    return r;
}

inline uint32_t bitsOf(int n) { return n >= 32 ? 0xFFFFFFFFu : (1u << n) - 1; }

inline Result readAIN(const Env &env, int addr, int format, int n, const Script &s)
{
    Result r;
    r.mask = bitsOf(n);
    r.sent = frame("#" + addrField(addr), env.checksum);
    if (env.writeFails) {
        r.code = WRITE_FAILED;
        return r;
    }
    Line line = collect(s, env.clock, {'>', AT_END, IGNORE});
    r.polls = line.polls;
    if (line.code != OK) {
        r.code = line.code;
        return r;
    }
    std::string data = line.stored;
    if (env.checksum) {
        if (data.size() <= 3) {
            r.code = BAD_LENGTH;
            return r;
        }
        if (!checksumOk(data)) {
            r.code = BAD_CHECKSUM;
            return r;
        }
        data.resize(data.size() - 2);
    }
    int dlen = static_cast<int>(data.size());
    bool odd = false;
    r.values.assign(static_cast<size_t>(n), 0.0f);
    if (format == 2) {
        if (dlen > 5 * n + 1) {
            r.code = BAD_FORMAT;
            r.values.clear();
            return r;
        }
        odd = dlen != 4 * n + 1;
        int p = 1;
        for (int j = 0; j < n; ++j) {
            if (p < dlen && data[static_cast<size_t>(p)] == '-') {
                p += 5; // a channel without a value
            } else if (p + 4 <= dlen) {
                int32_t v = hexField(data.c_str() + p, 4);
                r.values[static_cast<size_t>(j)] = static_cast<float>(v);
                if (v >= 0)
                    r.mask &= ~(1u << j);
                p += 4;
            } else {
                p += 4; // past the reply's end
            }
        }
    } else {
        odd = dlen != 7 * n + 1;
        int p = 1;
        for (int j = 0; j < n; ++j) {
            if (p + 7 > dlen) {
                p += 7;
                continue;
            }
            float v;
            int used = decimalField(data.c_str() + p, 7, &v);
            r.values[static_cast<size_t>(j)] = v;
            if (used == 7)
                r.mask &= ~(1u << j);
            p += used;
        }
    }
    r.code = odd || (r.mask & bitsOf(n)) ? AIN_LENGTH : OK;
    return r;
}

inline std::string aoutField(float v)
{
    char text[128];
    memset(text, 0, sizeof text);
    snprintf(text, sizeof text, "%+07.3f", static_cast<double>(v));
    return std::string(text, 7);
}

inline Result writeAO(const Env &env, int addr, int chan, float v, const Script &s)
{
    Result r;
    std::string body;
    exchange(r, env, "#" + addrField(addr) + hexDigits(static_cast<unsigned>(chan), 1) + aoutField(v), s,
             {'>', AT_END, AT_END}, 1, false, &body);
    return r;
}

inline Result hostCmd(const Env &env, int cmd, int addr, int value, uint32_t state, const Script &s)
{
    Result r;
    if (cmd < 0 || cmd > 3) {
        r.code = BAD_SUBCOMMAND;
        return r;
    }
    std::string text = "~" + addrField(addr) + hexDigits(static_cast<unsigned>(cmd), 1);
    size_t rlen = 5;
    if (cmd == 1)
        rlen = 3;
    if (cmd == 3) {
        text += state == 1 ? "1" : "0";
        text += hexDigits(static_cast<unsigned>(value), 2);
        rlen = 3;
    }
    std::string body;
    if (!exchange(r, env, text, s, {'!', AT_ONCE, IS_START}, rlen, cmd == 2, &body))
        return r;
    if (cmd == 0 || cmd == 2) {
        int32_t v = hexField(body.c_str() + body.size() - 2, 2);
        if (v < 0)
            r.code = BAD_LENGTH;
        else
            r.value = v;
    }
    return r;
}

// The host-OK broadcast: success when the transmit queue reports empty
// before the timer runs out.  `drain` polls of the queue report it busy
// (-1: it never drains).
inline Result hostOk(const Env &env, int32_t drain)
{
    Result r;
    r.sent = frame("~**", env.checksum);
    if (env.writeFails) {
        r.code = WRITE_FAILED;
        return r;
    }
    int64_t now = 0;
    for (int32_t busy = 0;; ++busy) {
        if (drain >= 0 && busy >= drain)
            return r;
        now += env.clock.msPerPoll;
        ++r.polls;
        if (static_cast<int64_t>(env.clock.timeout) - now <= 0) {
            r.code = TIMEOUT;
            return r;
        }
    }
}

} // namespace model

#endif
