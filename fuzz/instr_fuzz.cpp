// Fuzzes the fifteen instruction functions on arbitrary operand records,
// rung states and controller modes, with the replies to their commands
// scripted as in the reply harness.
//
// Input:
//   [0] instruction, index in the instruction table
//   [1] flags: bit 0 checksums, bit 1 debug traces, bit 2 the serial
//       library refuses writes, bit 3 TopDoc set, bits 4-6 the controller
//       mode, bit 7 the rung is false
//   [2..3] time-out, 5 to 500 ms
//   [4] bits 0-1 milliseconds per timer poll less one, bits 2-3 where the
//       driven clock starts (0, or just below a 32-bit wrap)
//   [5] transmit queue drain polls for the host-OK broadcast (negative:
//       never drains)                 [6] fill pattern of the outputs
//   then five operand records of 5 bytes: val (4 bytes), isfloat
//   then one byte n, n bytes of the first reply script, and the second
//   reply script (for the instructions that write and then read).
//
// Checked: the result is FALSE; a false rung or a closed gate sends and
// writes nothing; otherwise "ErrCode:" holds a code the instruction can
// produce and, like every other operand, exactly what the reference model
// says (outputs unchanged on failure, except the analog values delivered
// with 1018 and "ErrChan:"); nothing is written beside any operand; the
// settings stay; the debug trace appears exactly when it must.
#include <functional>

#include "harness.h"
#include "instr_model.h"

using namespace imodel;

namespace {

constexpr int OPERANDS = 5;

struct Operands {
    fz::Guarded<AREA> area[OPERANDS];
    TLIPARAM rec[OPERANDS];
};

const int32_t MODES[8] = {2, 1, 0, -1, 3, -2, 100, INT32_MIN};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fz::Reader in(data, size);
    int ins = in.u8() % 15;
    uint8_t flags = in.u8();
    bool checksum = flags & 1;
    bool dbg = flags & 2;
    bool writeFails = flags & 4;
    int32_t topdoc = (flags & 8) ? 1 : 0;
    int32_t mode = MODES[(flags >> 4) & 7];
    bool rungFalse = flags & 0x80;
    uint32_t tmo = 5 + in.u16() % 496;
    uint8_t clockByte = in.u8();
    int32_t msPerPoll = 1 + clockByte % 4;
    int64_t clock0 = fz::clockStart(clockByte >> 2);
    int8_t drainByte = static_cast<int8_t>(in.u8());
    int32_t drain = drainByte < 0 ? -1 : drainByte;
    uint8_t seed = in.u8();
    int32_t rungState = rungFalse ? 0 : (static_cast<int8_t>(seed) | 1);

    static Operands ops;
    memset(ops.rec, 0, sizeof ops.rec);
    for (int i = 0; i < OPERANDS; ++i) {
        ops.area[i].fill(static_cast<uint8_t>(seed + 29 * i));
        ops.rec[i].val.hls = in.u32();
        uint8_t f = in.u8();
        ops.rec[i].isfloat = (f & 1) ? f * 0x01010101u : 0;
        ops.rec[i].ptr.fptr = reinterpret_cast<float *>(ops.area[i].data);
    }
    size_t n1 = in.u8();
    std::vector<uint8_t> first;
    for (size_t i = 0; i < n1 && in.more(); ++i)
        first.push_back(in.u8());
    fz::Reader in1(first.data(), first.size());
    model::Script s1 = fz::readScript(in1);
    model::Script s2 = fz::readScript(in);

    fz::freshExchange(checksum, dbg, tmo, msPerPoll, clock0);
    Mode = mode;
    TopDoc = topdoc;
    if (writeFails)
        scommSetWriteResult(0);
    scommSetXmitDrain(drain);
    fz::queueScript(s1);
    fz::queueScript(s2);
    model::Env env{checksum, writeFails, {static_cast<int32_t>(tmo), msPerPoll}};

    TLIPARAM recs[OPERANDS];
    memcpy(recs, ops.rec, sizeof recs);
    Expect want;
    for (int i = 0; i < OPERANDS; ++i)
        want.areas.emplace_back(ops.area[i].data, ops.area[i].data + AREA);
    bool ran = rungState != 0 && !(topdoc == 0 && (mode == 1 || mode == 0 || mode == -1));
    if (ran) {
        Expect e = modelOf(ins, recs, env, s1, s2, drain, want.areas);
        want.code = e.code;
        want.polls = e.polls;
        want.errCode = e.errCode;
        want.addressed = e.addressed;
        want.areas = e.areas;
    }
    fz::Settings settings = fz::Settings::now();

    BOOL result = function_table[ins].fnc_ptr(rungState, function_table[ins].fnc_numargs, recs);

    const char *name = NAMES[ins];
    std::string console = hostsvc::takeConsole();
    FZ_CHECK(result == FALSE, "%s returned %u", name, result);
    FZ_CHECK(memcmp(recs, ops.rec, sizeof recs) == 0, "%s changed its operand records", name);
    FZ_CHECK(fz::Settings::now() == settings, "%s changed the settings", name);
    for (int i = 0; i < OPERANDS; ++i)
        FZ_CHECK(ops.area[i].guardsIntact(), "%s wrote beside operand %d", name, i);
    if (!ran) {
        FZ_CHECK(fz::commLog().empty(), "%s touched the serial line with the rung false or the gate closed", name);
        FZ_CHECK(console.empty(), "%s printed while inactive", name);
    } else {
        uint16_t code;
        memcpy(&code, ops.area[want.errCode].data, sizeof code);
        bool known = false;
        for (uint32_t c : allowedCodes(ins))
            known = known || c == code;
        FZ_CHECK(known, "%s stored the code %u", name, code);
        FZ_CHECK(code == want.code, "%s stored the code %u, the model %u", name, code, want.code);
        long polls = hostsvc::counters().timerPolls;
        FZ_CHECK(polls == want.polls, "%s polled the timer %ld times, the model %d", name, polls, want.polls);
        long perExchange = (static_cast<long>(tmo) + msPerPoll - 1) / msPerPoll;
        FZ_CHECK(polls <= 2 * perExchange, "%s outlived its time-outs", name);
        if (dbg && want.code != 0 && want.addressed) {
            char trace[64];
            snprintf(trace, sizeof trace, "\n addr=%d  ec=%u", wd(recs[0]), want.code);
            FZ_CHECK(console.size() >= strlen(trace) &&
                         console.compare(console.size() - strlen(trace), std::string::npos, trace) == 0,
                     "%s: no trace \"%s\" at the end of \"%s\"", name, fz::show(trace).c_str(),
                     fz::show(console).c_str());
        }
        if (!dbg || ins == 14)
            FZ_CHECK(console.empty(), "%s printed \"%s\"", name, fz::show(console).c_str());
    }
    for (int i = 0; i < OPERANDS; ++i)
        FZ_CHECK(memcmp(ops.area[i].data, want.areas[static_cast<size_t>(i)].data(), AREA) == 0,
                 "%s: operand %d holds other bytes than the model's (code %u)", name, i, want.code);
    return 0;
}
