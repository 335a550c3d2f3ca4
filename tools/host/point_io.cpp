// A design point's I/O through the module's instructions; see loopcheck.h.
#include <cmath>
#include <cstdio>

#include "errors.h"
#include "ladder.h"
#include "loopcheck.h"
#include "records.h"

namespace vhost {

namespace {

using vsim::Model;
using vsim::Point;

constexpr int TRIES = 3;

// The code of a call the module's table has no instruction for.
constexpr unsigned NO_CODE = 0xFFFF;

// What the digital outputs of the 7060 and 7065 occupy of the digital read's
// word: its first two digits; the last holds the four inputs, active-low.
constexpr int RELAY_SHIFT = 8;
constexpr int RELAY_INPUTS = 0x0F;

bool relays(Model m) { return m == Model::M7060 || m == Model::M7065; }

Reading failed(unsigned code)
{
    Reading r;
    r.code = code;
    r.text = code == NO_CODE ? "no reading: the module has no instruction for it" : "no reading: " + errorLabel(code);
    return r;
}

Reading valued(const Point &p, double v)
{
    Reading r;
    r.valued = true;
    r.value = v;
    r.text = pointValueText(p, v);
    return r;
}

} // namespace

unsigned PointIo::call(const char *name, std::vector<TLIPARAM> params, const SSHORT &err)
{
    // A reply lost once on a busy line is no fault of the point's wiring:
    // the call is made again (a read, or a write of the same value), and a
    // point whose module does not answer TRIES times shows the code.
    const int n = tableEntries(table_);
    for (int i = 0; i < n; ++i)
        if (instrName(table_[i]) == name) {
            unsigned code = EC_TIMEOUT;
            for (int t = 0; t < TRIES && code == EC_TIMEOUT; ++t) {
                table_[i].fnc_ptr(1, static_cast<int32_t>(params.size()), params.data());
                code = static_cast<uint16_t>(err);
            }
            return code;
        }
    return NO_CODE;
}

Reading PointIo::readAnalog(const Point &p, const vsim::Module &m)
{
    // The module's own data format: decimal values in its units, or hex
    // fields, two's complement of value / full scale * 32767.
    float values[8] = {};
    SSHORT words[8] = {}, err = -1, errChan = 0;
    const int16_t a = static_cast<int16_t>(m.address), format = m.hex ? 2 : 0;
    const TLIPARAM ain = m.hex ? records::wordOut(words) : records::floatOut(values);
    unsigned code =
        m.model == Model::M7018
            ? call("I7018",
                   {records::wordIn(a), records::wordIn(format), ain, records::wordOut(&err),
                    records::wordOut(&errChan)},
                   err)
            : call("I7017", {records::wordIn(a), records::wordIn(format), ain, records::wordOut(&err)}, err);
    const int ch = p.channel;
    if (code == EC_AIN_LENGTH && (static_cast<uint16_t>(errChan) >> ch & 1)) {
        Reading r = failed(code);
        r.text = "open input (no value)";
        return r;
    }
    if (code != EC_OK)
        return failed(code);
    const double wire = m.hex ? words[ch] / 32767.0 * m.fullScale : values[ch];
    return valued(p, p.toEngineering(wire));
}

unsigned PointIo::readWord(int address, int &word)
{
    SSHORT din = 0, err = -1;
    unsigned code = call("I7053",
                         {records::wordIn(static_cast<int16_t>(address)), records::wordIn(0), records::wordOut(&din),
                          records::wordOut(&err)},
                         err);
    word = static_cast<uint16_t>(din);
    return code;
}

Reading PointIo::readBit(const Point &p, const vsim::Module &m)
{
    SSHORT din = 0, err = -1;
    const int16_t a = static_cast<int16_t>(m.address);
    int word = 0;
    unsigned code = EC_OK;
    if (m.model == Model::M7041)
        code = call("I7041", {records::wordIn(a), records::wordIn(0), records::wordOut(&din), records::wordOut(&err)},
                    err);
    else if (m.model == Model::M7052)
        code = call("I7052", {records::wordIn(a), records::wordOut(&din), records::wordOut(&err)}, err);
    else
        code = readWord(m.address, word);
    if (code != EC_OK)
        return failed(code);
    int bits = static_cast<uint16_t>(din);
    if (m.model == Model::M7053)
        bits = word;
    else if (m.model == Model::M7043)
        bits = outputs_[m.address] = word;
    else if (relays(m.model) && p.output())
        bits = outputs_[m.address] = word >> RELAY_SHIFT;
    else if (relays(m.model))
        bits = ~word & RELAY_INPUTS;
    return valued(p, bits >> p.channel & 1);
}

unsigned PointIo::writeBits(const vsim::Module &m, int bits)
{
    SSHORT din = 0, err = -1;
    const TLIPARAM a = records::wordIn(static_cast<int16_t>(m.address)),
                   dout = records::wordIn(static_cast<int16_t>(bits));
    unsigned code = m.model == Model::M7043 ? call("I7043", {a, dout, records::wordOut(&err)}, err)
                    : m.model == Model::M7060
                        ? call("I7060", {a, dout, records::wordOut(&din), records::wordOut(&err)}, err)
                        : call("I7065", {a, dout, records::wordOut(&din), records::wordOut(&err)}, err);
    if (code == EC_OK)
        outputs_[m.address] = bits;
    return code;
}

bool PointIo::readsBack(const Point &p) const { return p.kind != Point::Kind::AnalogOut; }

Reading PointIo::read(const Point &p)
{
    const vsim::Module *m = design_.find(p.address);
    if (!m)
        return failed(NO_CODE);
    if (p.kind == Point::Kind::AnalogIn)
        return readAnalog(p, *m);
    if (p.kind == Point::Kind::AnalogOut) {
        Reading r;
        r.text = "not read back (the module has no read of its outputs)";
        return r;
    }
    return readBit(p, *m);
}

Reading PointIo::force(const Point &p, double engineering)
{
    const vsim::Module *m = design_.find(p.address);
    if (!m)
        return failed(NO_CODE);
    if (p.kind == Point::Kind::AnalogOut) {
        SSHORT err = -1;
        const float wire = static_cast<float>(p.toWire(engineering));
        unsigned code =
            call("I7024",
                 {records::wordIn(static_cast<int16_t>(m->address)), records::wordIn(static_cast<int16_t>(p.channel)),
                  records::floatIn(wire), records::wordOut(&err)},
                 err);
        if (code != EC_OK)
            return failed(code);
        // The write's reply is all the module says of its output.
        Reading r = valued(p, engineering);
        char w[64];
        snprintf(w, sizeof w, "written %.3f, the module answered", wire);
        r.text = w;
        return r;
    }
    // The module's outputs as it holds them, this one bit changed.
    if (!outputs_.count(m->address)) {
        Reading now = readBit(p, *m);
        if (now.code != EC_OK)
            return now;
    }
    const int bit = 1 << p.channel;
    const int bits = engineering != 0 ? outputs_[m->address] | bit : outputs_[m->address] & ~bit;
    unsigned code = writeBits(*m, bits);
    if (code != EC_OK)
        return failed(code);
    return readBit(p, *m);
}

} // namespace vhost
