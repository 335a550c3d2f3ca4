// The module's own cost per instruction call, against a floor.
//
// Each of the fifteen instructions is called in a loop against the in-bench
// serial stub (stub.h), whose reply is there at once, with the host's
// timer never expiring.  Beside each one runs its floor: a bare loop that
// copies the same command bytes into the same transmit buffer, scans the
// same reply bytes for the carriage return and decodes them the plain way.
//
//   bench_module [Google Benchmark flags]   ns per call, module and floor
//   bench_module --callgrind                under valgrind --tool=callgrind:
//                                           one counted section per case
//   bench_module --allocs N                 heap allocations in N calls of
//                                           every instruction
#include <benchmark/benchmark.h>
#include <valgrind/callgrind.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../sdk/TLMUSR.h"
#include "../serial/comm.h"
#include "alloc_count.h"
#include "hostsvc.h"
#include "module.h"
#include "records.h"
#include "stub.h"

namespace {

// ---------------------------------------------------------------------------
// The cases: one instruction, its operands, the module's replies and how
// the floor decodes them.

enum Decode { ACK, DEC8, HEX8, HEX4, COUNT5, HEX2_END };

struct Exchange {
    const char *reply; // as it arrives, carriage return included
    char start;
    Decode decode;
};

struct Case {
    const char *name;
    TLIPTR fn;
    int nparams;
    TLIPARAM params[5];
    Exchange ex[2];
    int exchanges; // 0: the host-OK broadcast, no reply
    // Filled in by prepare(): what the module wrote.
    char cmd[2][128];
    int32_t cmdLen[2];
};

// Operand storage shared by all cases.
int16_t err, chan, word;
int16_t ainWords[8];
float ainFloats[8];
float count;

using records::floatIn;
using records::floatOut;
using records::wordIn;
using records::wordOut;

std::vector<Case> makeCases()
{
    const char *ain = ">+01.000+02.500-03.250+00.000+05.123-10.500+09.999+00.250\r";
    const char *tc = ">200040001000000000007FFFE0001000\r";
    std::vector<Case> c = {
        {"I7017", I7017, 4, {wordIn(1), wordIn(0), floatOut(ainFloats), wordOut(&err)}, {{ain, '>', DEC8}}, 1, {}, {}},
        {"I7018",
         I7018,
         5,
         {wordIn(2), wordIn(2), wordOut(ainWords), wordOut(&err), wordOut(&chan)},
         {{tc, '>', HEX8}},
         1,
         {},
         {}},
        {"I7024", I7024, 4, {wordIn(3), wordIn(0), floatIn(5.5f), wordOut(&err)}, {{">\r", '>', ACK}}, 1, {}, {}},
        {"I7041", I7041, 4, {wordIn(4), wordIn(0), wordOut(&word), wordOut(&err)}, {{">2A55\r", '>', HEX4}}, 1, {}, {}},
        {"I7043", I7043, 3, {wordIn(5), wordIn(0x1234), wordOut(&err)}, {{">\r", '>', ACK}}, 1, {}, {}},
        {"I7052", I7052, 3, {wordIn(6), wordOut(&word), wordOut(&err)}, {{">A500\r", '>', HEX4}}, 1, {}, {}},
        {"I7053", I7053, 4, {wordIn(7), wordIn(0), wordOut(&word), wordOut(&err)}, {{">1234\r", '>', HEX4}}, 1, {}, {}},
        {"I7060",
         I7060,
         4,
         {wordIn(8), wordIn(1), wordOut(&word), wordOut(&err)},
         {{">\r", '>', ACK}, {">000E\r", '>', HEX4}},
         2,
         {},
         {}},
        {"I7065",
         I7065,
         4,
         {wordIn(9), wordIn(3), wordOut(&word), wordOut(&err)},
         {{">\r", '>', ACK}, {">000C\r", '>', HEX4}},
         2,
         {},
         {}},
        {"I7RDC",
         I7RDC,
         4,
         {wordIn(4), wordIn(0), floatOut(&count), wordOut(&err)},
         {{"!0411170\r", '!', COUNT5}},
         1,
         {},
         {}},
        {"I7CDC", I7CDC, 3, {wordIn(4), wordIn(1), wordOut(&err)}, {{"!04\r", '!', ACK}}, 1, {}, {}},
        {"I7RSMS", I7RSMS, 2, {wordIn(5), wordOut(&err)}, {{"!05\r", '!', ACK}}, 1, {}, {}},
        {"I7RDMS", I7RDMS, 3, {wordIn(5), wordOut(&word), wordOut(&err)}, {{"!0504\r", '!', HEX2_END}}, 1, {}, {}},
        {"I7SHWV", I7SHWV, 3, {wordIn(5), wordIn(50), wordOut(&err)}, {{"!05\r", '!', ACK}}, 1, {}, {}},
        {"I7HOK", I7HOK, 1, {wordOut(&err)}, {}, 0, {}, {}},
    };
    return c;
}

std::vector<Case> cases;

stub::Script scriptOf(const Case &c)
{
    stub::Script s = {};
    s.count = c.exchanges;
    for (int i = 0; i < c.exchanges; ++i) {
        s.reply[i] = c.ex[i].reply;
        s.len[i] = static_cast<int32_t>(strlen(c.ex[i].reply));
    }
    return s;
}

void startModule()
{
    struct req_init r = records::request(REQ_INIT, stub::dispatcher());
    if (_main(&r, nullptr) != EC_OK) {
        fprintf(stderr, "bench_module: Init failed\n");
        exit(1);
    }
    struct req_setmode m = records::setMode(2);
    _main(&m, nullptr);
}

// One call through the module: must succeed; records what it sent.
void prepare(Case &c)
{
    stub::load(scriptOf(c));
    err = -1;
    stub::record(true);
    c.fn(1, c.nparams, c.params);
    stub::record(false);
    if (err != 0) {
        fprintf(stderr, "bench_module: %s failed with %d\n", c.name, err);
        exit(1);
    }
    for (int i = 0; i < 2; ++i) {
        int32_t n;
        const char *w = stub::writeAt(i, &n);
        memcpy(c.cmd[i], w, static_cast<size_t>(n));
        c.cmdLen[i] = n;
    }
    stub::load(scriptOf(c));
}

// ---------------------------------------------------------------------------
// The floor.

inline int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(c & ~0x20);
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

inline int hexField(const char *s, int n)
{
    int v = 0;
    for (int i = 0; i < n; ++i) {
        int d = hexDigit(s[i]);
        if (d < 0)
            return -1;
        v = v * 16 + d;
    }
    return v;
}

inline float decField(const char *s)
{
    int i = 0;
    int sign = 1;
    if (s[0] == '+' || s[0] == '-') {
        sign = s[0] == '-' ? -1 : 1;
        i = 1;
    }
    float whole = 0, frac = 0;
    int div = 1;
    for (; i < 7 && s[i] >= '0' && s[i] <= '9'; ++i)
        whole = whole * 10 + static_cast<float>(s[i] - '0');
    if (i < 7 && s[i] == '.')
        for (++i; i < 7 && s[i] >= '0' && s[i] <= '9'; ++i) {
            frac = frac * 10 + static_cast<float>(s[i] - '0');
            div *= 10;
        }
    return static_cast<float>((static_cast<double>(frac) / div + whole) * sign);
}

char line[96];

// The hex field of a reply of exactly `len` characters, or -1 with the
// code set to 1008.
inline int hexReply(int n, int len, int at, int width, int *code)
{
    int v = n == len ? hexField(line + at, width) : -1;
    if (v < 0)
        *code = 1008;
    return v;
}

// Copies the command, collects the reply up to its carriage return, checks
// the start character and length and decodes the fields into the same
// operands the instruction writes.  Through: the same, but the bytes go
// through the serial library's calls and the host's timer as the module's
// do (the second floor, "calls").
template <bool Through> void floorCall(const Case &c)
{
    if (c.exchanges == 0) {
        if (Through) {
            _COMxmitclear(1);
            _COMwrite(1, c.cmd[0], c.cmdLen[0]);
            HlpPtimerSet(40);
            _COMxmitqueue(1);
        } else {
            stub::floorWrite(c.cmd[0], c.cmdLen[0]);
        }
        *c.params[0].ptr.wptr = 0;
        return;
    }
    int code = 0;
    for (int e = 0; e < c.exchanges && code == 0; ++e) {
        const Exchange &x = c.ex[e];
        int n = 0;
        if (Through) {
            // What any client of the serial library and the host timer must
            // do: purge, write, then per character a timer poll, a queue
            // count and a read.
            _COMxmitclear(1);
            _COMrcvclear(1);
            _COMwrite(1, c.cmd[e], c.cmdLen[e]);
            int32_t mark = HlpPtimerSet(40);
            while (HlpPtimerPoll(mark) > 0) {
                if (_COMrcvqueue(1) <= 0)
                    continue;
                char ch = static_cast<char>(_COMgetc(1));
                if (ch == '\r' || n >= 80)
                    break;
                line[n++] = ch;
            }
        } else {
            stub::floorWrite(c.cmd[e], c.cmdLen[e]);
            for (const char *p = x.reply; *p != '\r' && n < 80; ++p)
                line[n++] = *p;
        }
        if (n == 0 || line[0] != x.start) {
            code = 1008;
            break;
        }
        switch (x.decode) {
        case ACK:
            if (n != (x.start == '!' ? 3 : 1))
                code = 1008;
            break;
        case DEC8:
            if (n != 57) {
                code = 1018;
                break;
            }
            for (int i = 0; i < 8; ++i)
                c.params[2].ptr.fptr[i] = decField(line + 1 + 7 * i);
            break;
        case HEX8:
            if (n != 33) {
                code = 1018;
                break;
            }
            for (int i = 0; i < 8; ++i)
                c.params[2].ptr.wptr[i] = static_cast<int16_t>(hexField(line + 1 + 4 * i, 4));
            break;
        case HEX4:
            if (int v = hexReply(n, 5, 1, 4, &code); v >= 0)
                *c.params[2 - (c.nparams == 3)].ptr.wptr = static_cast<int16_t>(v);
            break;
        case COUNT5:
            if (int v = hexReply(n, 8, 3, 5, &code); v >= 0)
                *c.params[2].ptr.fptr = static_cast<float>(v);
            break;
        case HEX2_END:
            if (int v = hexReply(n, 5, 3, 2, &code); v >= 0)
                *c.params[1].ptr.wptr = static_cast<int16_t>(v);
            break;
        }
    }
    *c.params[c.nparams - 1 - (c.fn == I7018)].ptr.wptr = static_cast<int16_t>(code);
}

// ---------------------------------------------------------------------------
// Google Benchmark.

void benchModule(benchmark::State &state, Case *c)
{
    stub::load(scriptOf(*c));
    for (auto _ : state) {
        c->fn(1, c->nparams, c->params);
        benchmark::ClobberMemory();
    }
    if (err != 0)
        state.SkipWithError("instruction failed");
}

template <bool Through> void benchFloor(benchmark::State &state, Case *c)
{
    stub::load(scriptOf(*c));
    for (auto _ : state) {
        floorCall<Through>(*c);
        benchmark::ClobberMemory();
    }
}

// The same I7017 call with the stand-in host's services on its real
// clock: what the host's timer adds on top of the module.
void benchHostClock(benchmark::State &state, Case *c)
{
    struct req_init r = records::request(REQ_INIT, hostsvc::dispatcher());
    hostsvc::captureConsole(true);
    _main(&r, nullptr);
    hostsvc::takeConsole();
    hostsvc::useRealClock();
    stub::load(scriptOf(*c));
    for (auto _ : state) {
        c->fn(1, c->nparams, c->params);
        benchmark::ClobberMemory();
    }
    if (err != 0)
        state.SkipWithError("instruction failed");
    startModule();
}

// ---------------------------------------------------------------------------
// Deterministic counts under callgrind: zero, run, dump, per case.

int runCallgrind(int calls)
{
    if (!RUNNING_ON_VALGRIND) {
        fprintf(stderr, "bench_module --callgrind: run me under valgrind --tool=callgrind\n");
        return 2;
    }
    for (Case &c : cases) {
        std::string module = std::string("module:") + c.name;
        std::string floor = std::string("floor:") + c.name;
        std::string through = std::string("calls:") + c.name;
        stub::load(scriptOf(c));
        CALLGRIND_ZERO_STATS;
        for (int i = 0; i < calls; ++i)
            c.fn(1, c.nparams, c.params);
        CALLGRIND_DUMP_STATS_AT(module.c_str());
        for (int i = 0; i < calls; ++i)
            floorCall<false>(c);
        CALLGRIND_DUMP_STATS_AT(floor.c_str());
        stub::load(scriptOf(c));
        CALLGRIND_ZERO_STATS;
        for (int i = 0; i < calls; ++i)
            floorCall<true>(c);
        CALLGRIND_DUMP_STATS_AT(through.c_str());
    }
    printf("calls %d\n", calls);
    return 0;
}

int runAllocs(long calls)
{
    allocs::start();
    for (Case &c : cases) {
        stub::load(scriptOf(c));
        for (long i = 0; i < calls; ++i)
            c.fn(1, c.nparams, c.params);
    }
    long n = allocs::stop();
    printf("allocations %ld in %ld instruction calls (%ld exchanges)\n", n, calls * static_cast<long>(cases.size()),
           stub::writes());
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    startModule();
    cases = makeCases();
    for (Case &c : cases)
        prepare(c);

    if (argc >= 2 && strcmp(argv[1], "--callgrind") == 0)
        return runCallgrind(argc >= 3 ? atoi(argv[2]) : 1000);
    if (argc >= 3 && strcmp(argv[1], "--allocs") == 0)
        return runAllocs(atol(argv[2]));

    for (Case &c : cases) {
        benchmark::RegisterBenchmark((std::string("module/") + c.name).c_str(), benchModule, &c);
        benchmark::RegisterBenchmark((std::string("floor/") + c.name).c_str(), benchFloor<false>, &c);
        benchmark::RegisterBenchmark((std::string("calls/") + c.name).c_str(), benchFloor<true>, &c);
    }
    benchmark::RegisterBenchmark("hostclock/I7017", benchHostClock, &cases[0]);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
