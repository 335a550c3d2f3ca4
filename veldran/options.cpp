// Start-up options: the Init request's option string, parsed into the
// module-global settings that every exchange reads.
#include <stdlib.h>
#include <string.h>

#include "TLMUSR.h"
#include "option_ranges.h"
#include "protocol.h"

int32_t port = COMPORT_DEFAULT;
int32_t BaudRate = BAUD_DEFAULT_BPS;
uint32_t timeout = TIMEOUT_DEFAULT_MS;
BOOL useCheckSum = CHECKSUM_DEFAULT ? TRUE : FALSE;
BOOL debug = DEBUG_DEFAULT ? TRUE : FALSE;
uint32_t latency = LATENCY_DEFAULT_MS;

namespace {

char cmdBuffer[CMDLINE_BUFFER];

enum Keyword { KW_COMPORT, KW_BAUD, KW_TIMEOUT, KW_CHECKSUM, KW_DEBUG, KW_LATENCY };

struct KeywordDef {
    const char *text;
    int len;
    Keyword kind;
};

// Matched in this order, each over its own length, without regard to case.
constexpr KeywordDef keywords[] = {
    {"COMPORT=", 8, KW_COMPORT},  {"BAUD=", 5, KW_BAUD},  {"TIMEOUT=", 8, KW_TIMEOUT},
    {"CHECKSUM", 8, KW_CHECKSUM}, {"DEBUG", 5, KW_DEBUG}, {"LATENCY=", 8, KW_LATENCY},
};

bool isBlank(char c) { return c == ' ' || c == '\t'; }

bool matches(const char *at, const KeywordDef &kw)
{
    for (int i = 0; i < kw.len; ++i)
        if (keyupper(at[i]) != kw.text[i])
            return false; // also stops at the terminating zero
    return true;
}

// The standard decimal conversion (leading white space, optional sign,
// digits; no digits gives 0), saturating at the 32-bit range so that both
// targets read an over-long number the same way.
int32_t readInt(const char *s)
{
    long long v = strtoll(s, nullptr, 10);
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(v);
}

bool validBaud(int32_t value)
{
    for (int32_t b : BAUD_CODES)
        if (b == value)
            return true;
    return false;
}

} // namespace

// Parses the option string.  Options apply in order; the first bad one ends
// the parse with its code.  A rejected value is not stored: the setting
// keeps what it had (a rejected TIMEOUT=-1 must not become a 49-day time-out
// on a port that is already open).
ERRCODE CommandLine(const char *cmdLine)
{
    strncpy(cmdBuffer, cmdLine, CMDLINE_BUFFER - 1);
    cmdBuffer[CMDLINE_BUFFER - 1] = '\0';

    const char *p = cmdBuffer;
    for (;;) {
        while (isBlank(*p))
            ++p;
        if (*p == '\0')
            return EC_OK;

        const KeywordDef *kw = nullptr;
        for (const KeywordDef &k : keywords)
            if (matches(p, k)) {
                kw = &k;
                break;
            }
        if (!kw) {
            HlpPrintf("<%s>\n", p);
            return EC_BAD_OPTION;
        }

        const char *value = p + kw->len;
        switch (kw->kind) {
        case KW_COMPORT: {
            int32_t v = readInt(value);
            if (v < COMPORT_MIN || v > COMPORT_MAX) {
                HlpPrintf("\n\t Illegal comm port number %d (1-4)", v);
                return EC_BAD_COMPORT;
            }
            port = v;
            break;
        }
        case KW_BAUD: {
            int32_t v = readInt(value);
            if (!validBaud(v)) {
                HlpPrintf("Illegal baud rate: %d (96,192,384,576,1152) x100", v);
                return EC_BAD_BAUD;
            }
            BaudRate = v * 100;
            break;
        }
        case KW_TIMEOUT: {
            // Compared as unsigned: a negative value is a very large one.
            uint32_t v = static_cast<uint32_t>(readInt(value));
            if (v < TIMEOUT_MIN_MS || v > TIMEOUT_MAX_MS) {
                HlpPrintf("\n\t Invalid time out value: %d msecs (5-500)", static_cast<int>(v));
                return EC_BAD_TIMEOUT;
            }
            timeout = v;
            break;
        }
        case KW_LATENCY: {
            // Compared as unsigned, from 0: a negative value is a very large one.
            static_assert(LATENCY_MIN_MS == 0, "the range starts at 0");
            uint32_t v = static_cast<uint32_t>(readInt(value));
            if (v > LATENCY_MAX_MS) {
                HlpPrintf("\n\t Invalid latency value: %d msecs (0-255)", static_cast<int>(v));
                return EC_BAD_LATENCY;
            }
            latency = v;
            break;
        }
        case KW_CHECKSUM:
            useCheckSum = TRUE;
            break;
        case KW_DEBUG:
            debug = TRUE;
            break;
        }

        // The rest of the option is ignored up to the next blank or tab.
        p += kw->len;
        while (*p != '\0' && !isBlank(*p))
            ++p;
    }
}
