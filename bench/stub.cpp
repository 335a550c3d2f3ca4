// See stub.h.
#include "stub.h"

#include <cstdarg>
#include <cstdio>

#include "../sdk/TLMUSR.h"
#include "../serial/comm.h"

namespace stub {
namespace {

Script g_script;
int g_next = 0;
const char *g_rx = nullptr;
int32_t g_rxLeft = 0;
char g_tx[128];
int32_t g_txLen = 0;
long g_writes = 0;
char g_hist[2][128]; // the first two writes since load()
int32_t g_histLen[2];
int g_sinceLoad = 0;
bool g_record = false; // keep the first two writes (prepare only)

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
    g_script = s;
    g_next = 0;
    g_rxLeft = 0;
    g_sinceLoad = 0;
}

const char *writeAt(int i, int32_t *len)
{
    *len = i < g_sinceLoad && i < 2 ? g_histLen[i] : 0;
    return g_hist[i];
}

const char *lastWrite(int32_t *len)
{
    *len = g_txLen;
    return g_tx;
}

long writes() { return g_writes; }

void record(bool on) { g_record = on; }

void *dispatcher() { return reinterpret_cast<void *>(&dispatch); }

void floorWrite(const char *buf, int32_t len)
{
    memcpy(g_tx, buf, static_cast<size_t>(len));
    g_txLen = len;
}

} // namespace stub

using namespace stub;

extern "C" {
int32_t _COMsetup(int32_t, int32_t, char *, int32_t, char *, int32_t, int32_t, int32_t, int32_t) { return 0; }
int32_t _COMdisable(int32_t) { return 0; }
int32_t _COMwrite(int32_t, const char *buf, int32_t len)
{
    if (len > static_cast<int32_t>(sizeof g_tx))
        return 0;
    memcpy(g_tx, buf, static_cast<size_t>(len));
    g_txLen = len;
    ++g_writes;
    if (g_record && g_sinceLoad < 2) {
        memcpy(g_hist[g_sinceLoad], buf, static_cast<size_t>(len));
        g_histLen[g_sinceLoad] = len;
    }
    ++g_sinceLoad;
    if (g_script.count > 0) {
        g_rx = g_script.reply[g_next];
        g_rxLeft = g_script.len[g_next];
        g_next = (g_next + 1) % g_script.count;
    }
    return 1;
}
int32_t _COMgetc(int32_t)
{
    --g_rxLeft;
    return static_cast<unsigned char>(*g_rx++);
}
int32_t _COMrcvqueue(int32_t) { return g_rxLeft; }
int32_t _COMxmitqueue(int32_t) { return 0; }
int32_t _COMrcvclear(int32_t)
{
    g_rxLeft = 0;
    return 0;
}
int32_t _COMxmitclear(int32_t) { return 0; }
}
