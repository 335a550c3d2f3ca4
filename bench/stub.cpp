// See stub.h.
#include "stub.h"

#include <cstdarg>
#include <cstdio>

#include "../sdk/TLMUSR.h"
#include "../serial/comm.h"

namespace stub {
namespace {

Script script;
int next = 0;
const char *rx = nullptr;
int32_t rxLeft = 0;
char tx[128];
int32_t txLen = 0;
long writeCount = 0;
char hist[2][128]; // the first two writes since load()
int32_t histLen[2];
int sinceLoad = 0;
bool recording = false; // keep the first two writes (prepare only)

int32_t dispatch(int32_t selector, va_list args)
{
    switch (selector) {
    case SEL_HlpPtimerSet:
        return va_arg(args, int32_t);
    case SEL_HlpPtimerPoll:
        return 1; // time remains
    case SEL_HlpSprintf: {
        char *buffer = va_arg(args, char *);
        const char *format = va_arg(args, const char *);
        va_list *values = va_arg(args, va_list *);
        return vsprintf(buffer, format, *values);
    }
    default:
        return 0;
    }
}

} // namespace

void load(const Script &s)
{
    script = s;
    next = 0;
    rxLeft = 0;
    sinceLoad = 0;
}

const char *writeAt(int i, int32_t *len)
{
    *len = i < sinceLoad && i < 2 ? histLen[i] : 0;
    return hist[i];
}

const char *lastWrite(int32_t *len)
{
    *len = txLen;
    return tx;
}

long writes() { return writeCount; }

void record(bool on) { recording = on; }

void *dispatcher() { return reinterpret_cast<void *>(&dispatch); }

void floorWrite(const char *buf, int32_t len)
{
    memcpy(tx, buf, static_cast<size_t>(len));
    txLen = len;
}

} // namespace stub

using namespace stub;

extern "C" {
int32_t _COMsetup(int32_t, int32_t, char *, int32_t, char *, int32_t, int32_t, int32_t, int32_t) { return 0; }
int32_t _COMdisable(int32_t) { return 0; }
int32_t _COMwrite(int32_t, const char *buf, int32_t len)
{
    if (len > static_cast<int32_t>(sizeof tx))
        return 0;
    memcpy(tx, buf, static_cast<size_t>(len));
    txLen = len;
    ++writeCount;
    if (recording && sinceLoad < 2) {
        memcpy(hist[sinceLoad], buf, static_cast<size_t>(len));
        histLen[sinceLoad] = len;
    }
    ++sinceLoad;
    if (script.count > 0) {
        rx = script.reply[next];
        rxLeft = script.len[next];
        next = (next + 1) % script.count;
    }
    return 1;
}
int32_t _COMgetc(int32_t)
{
    --rxLeft;
    return static_cast<unsigned char>(*rx++);
}
int32_t _COMrcvqueue(int32_t) { return rxLeft; }
int32_t _COMxmitqueue(int32_t) { return 0; }
int32_t _COMrcvclear(int32_t)
{
    rxLeft = 0;
    return 0;
}
int32_t _COMxmitclear(int32_t) { return 0; }
}
