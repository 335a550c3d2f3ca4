// Fuzzes the reply side of the seven protocol operations.
//
// Input: a 12-byte header and a reply script.
//   [0] operation (readDIO, writeDO, readDICounter, clearDICounter,
//       readAIN, writeAO, HostCmd)
//   [1] flags: bit 0 checksums, bit 1 debug traces, bit 2 bytes left in the
//       receive queue before the call, bit 3 the serial library refuses the
//       write, bits 4-5 milliseconds per timer poll less one, bits 6-7
//       where the driven clock starts (0, or just below a 32-bit wrap)
//   [2..3] address (the operation sends its low eight bits)
//   [4..5] time-out, 5 to 500 ms
//   [6..11] the operation's own arguments
//   then records of (delay in polls, chunk length, chunk bytes)
//
// Checked for every input: the code is one the operation can return; the
// command line is the one the protocol prescribes; the code and every
// output equal what the reference model makes of the same bytes and times;
// on failure no output changed (guards around each output); the exchange
// made no more timer polls than its time-out allows; the settings stayed.
#include <iterator>

#include "harness.h"

namespace {

enum Op { READ_DIO, WRITE_DO, READ_COUNTER, CLEAR_COUNTER, READ_AIN, WRITE_AO, HOST_CMD, OPS };

const char *opName(int op)
{
    static const char *names[] = {"readDIO", "writeDO", "readDICounter", "clearDICounter",
                                  "readAIN", "writeAO", "HostCmd"};
    return names[op];
}

// The codes each operation declares it can return.
bool allowed(int op, uint32_t code)
{
    static const std::vector<ERRCODE> codes[OPS] = {
        {std::begin(readDIOCodes), std::end(readDIOCodes)},
        {std::begin(writeDOCodes), std::end(writeDOCodes)},
        {std::begin(readDICounterCodes), std::end(readDICounterCodes)},
        {std::begin(clearDICounterCodes), std::end(clearDICounterCodes)},
        {std::begin(readAINCodes), std::end(readAINCodes)},
        {std::begin(writeAOCodes), std::end(writeAOCodes)},
        {std::begin(HostCmdCodes), std::end(HostCmdCodes)},
    };
    for (ERRCODE c : codes[op])
        if (c == code)
            return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fz::Reader in(data, size);
    int op = in.u8() % OPS;
    uint8_t flags = in.u8();
    bool checksum = flags & 1;
    bool dbg = flags & 2;
    bool leftovers = flags & 4;
    bool writeFails = flags & 8;
    int32_t msPerPoll = 1 + ((flags >> 4) & 3);
    int64_t clock0 = fz::clockStart(flags >> 6);
    int addr = in.u16() % 1024;
    uint32_t tmo = 5 + in.u16() % 496;
    uint8_t p[6];
    for (uint8_t &b : p)
        b = in.u8();
    model::Script script = fz::readScript(in);

    fz::freshExchange(checksum, dbg, tmo, msPerPoll, clock0);
    if (writeFails)
        scommSetWriteResult(0);
    if (leftovers) {
        static const char junk[] = ">0000\r!01\r?\r";
        scommInject(junk, static_cast<int32_t>(sizeof junk - 1));
    }
    fz::queueScript(script);
    model::Env env{checksum, writeFails, {static_cast<int32_t>(tmo), msPerPoll}};

    fz::Guarded<sizeof(float) * 16> out;
    out.fill(p[5]);
    fz::Guarded<sizeof(unsigned)> mask;
    mask.fill(p[4]);
    uint8_t before[sizeof out.data];
    memcpy(before, out.data, sizeof before);
    fz::Settings settings = fz::Settings::now();

    ERRCODE ec = 0;
    model::Result want;
    int numchannels = 0;
    switch (op) {
    case READ_DIO:
        ec = readDIO(addr, reinterpret_cast<int *>(out.data));
        want = model::readDIO(env, addr, script);
        break;
    case WRITE_DO: {
        int dataWord = static_cast<int16_t>(p[0] | (p[1] << 8));
        int n = static_cast<int8_t>(p[2]) % 7; // -6 to 6: 1 to 4 are valid
        ec = writeDO(addr, dataWord, n);
        want = model::writeDO(env, addr, dataWord, n, script);
        break;
    }
    case READ_COUNTER:
        ec = readDICounter(addr, p[0], reinterpret_cast<unsigned *>(out.data));
        want = model::readDICounter(env, addr, p[0], script);
        break;
    case CLEAR_COUNTER:
        ec = clearDICounter(addr, p[0]);
        want = model::clearDICounter(env, addr, p[0], script);
        break;
    case READ_AIN: {
        int format = p[0] % 4;
        numchannels = 1 + p[1] % 16;
        ec = readAIN(addr, format, numchannels, reinterpret_cast<float *>(out.data),
                     reinterpret_cast<unsigned *>(mask.data));
        want = model::readAIN(env, addr, format, numchannels, script);
        break;
    }
    case WRITE_AO: {
        float v;
        memcpy(&v, p + 1, sizeof v);
        ec = writeAO(addr, p[0], v);
        want = model::writeAO(env, addr, p[0], v, script);
        break;
    }
    case HOST_CMD: {
        int cmd = static_cast<int8_t>(p[0]) % 6; // -5 to 5: 0 to 3 are valid
        int value = static_cast<int16_t>(p[1] | (p[2] << 8));
        BOOL state = p[3] % 3;
        ec = HostCmd(cmd, addr, value, state, reinterpret_cast<int *>(out.data));
        want = model::hostCmd(env, cmd, addr, value, state, script);
        break;
    }
    }

    const char *name = opName(op);
    FZ_CHECK(allowed(op, ec), "%s returned %u", name, ec);
    FZ_CHECK(ec == want.code, "%s returned %u, the model %u (reply script of %zu bytes)", name, ec, want.code,
             script.size());
    FZ_CHECK(out.guardsIntact() && mask.guardsIntact(), "%s wrote beside its outputs", name);
    FZ_CHECK(fz::Settings::now() == settings, "%s changed the settings", name);

    // What went over the line, and when nothing may.
    int writes = fz::countWrites();
    if (want.sent.empty()) {
        FZ_CHECK(writes == 0 && hostsvc::counters().timerSets == 0, "%s sent something for code %u", name, ec);
    } else {
        FZ_CHECK(writes == 1, "%s made %d writes", name, writes);
        FZ_CHECK(fz::lastWrite() == want.sent, "%s sent \"%s\", expected \"%s\"", name,
                 fz::show(fz::lastWrite()).c_str(), fz::show(want.sent).c_str());
    }

    // No exchange outlives its time-out: the timer is polled at most as
    // often as the time-out lasts in polls.
    long maxPolls = (static_cast<long>(tmo) + msPerPoll - 1) / msPerPoll;
    long polls = hostsvc::counters().timerPolls;
    FZ_CHECK(polls <= maxPolls, "%s polled the timer %ld times, time-out %u ms at %d ms a poll", name, polls, tmo,
             msPerPoll);
    FZ_CHECK(polls == want.polls, "%s polled the timer %ld times, the model %d", name, polls, want.polls);
    if (ec == EC_TIMEOUT)
        FZ_CHECK(hostsvc::nowMs() - clock0 >= static_cast<int64_t>(tmo), "%s timed out early", name);
    if (!dbg)
        FZ_CHECK(hostsvc::console().empty(), "%s printed without the debug option", name);

    // The outputs.
    if (op == READ_AIN) {
        unsigned m;
        memcpy(&m, mask.data, sizeof m);
        FZ_CHECK(m == want.mask, "readAIN mask %X, the model %X", m, want.mask);
        const float *values = reinterpret_cast<const float *>(out.data);
        if (ec == EC_OK || ec == EC_AIN_LENGTH) {
            for (int j = 0; j < numchannels; ++j)
                FZ_CHECK(fz::sameBits(values[j], want.values[static_cast<size_t>(j)]),
                         "readAIN channel %d: %g, the model %g", j, static_cast<double>(values[j]),
                         static_cast<double>(want.values[static_cast<size_t>(j)]));
            FZ_CHECK(memcmp(out.data + sizeof(float) * numchannels, before + sizeof(float) * numchannels,
                            sizeof before - sizeof(float) * numchannels) == 0,
                     "readAIN wrote past channel %d", numchannels - 1);
        } else {
            FZ_CHECK(memcmp(out.data, before, sizeof before) == 0, "readAIN wrote its values on %u", ec);
        }
    } else {
        bool hasValue = op == READ_DIO || op == READ_COUNTER;
        if (op == HOST_CMD) {
            int cmd = static_cast<int8_t>(p[0]) % 6;
            hasValue = cmd == 0 || cmd == 2;
        }
        if (ec == EC_OK && hasValue) {
            int32_t got;
            memcpy(&got, out.data, sizeof got);
            FZ_CHECK(got == want.value, "%s decoded %d, the model %d", name, got, want.value);
            FZ_CHECK(memcmp(out.data + 4, before + 4, sizeof before - 4) == 0, "%s wrote past its result", name);
        } else {
            FZ_CHECK(memcmp(out.data, before, sizeof before) == 0, "%s wrote its result on code %u", name, ec);
        }
    }
    hostsvc::takeConsole();
    return 0;
}
