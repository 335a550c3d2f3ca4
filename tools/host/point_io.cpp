// A design point's I/O through the module's instructions; see loopcheck.h.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

#include "catalogue.h"
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

// The bits of the digital read's word.
constexpr int WORD_BITS = 16;

// Of the instructions made for `model` that make an exchange of `kind`
// (that one alone where `only`), the one with the most operands, which
// tells the most: the thermocouple read's "ErrChan:" names an open input.
const catalogue::Instruction *instructionFor(int model, catalogue::Kind kind, bool only)
{
    const catalogue::Instruction *best = nullptr;
    for (const catalogue::Instruction &i : catalogue::instructions)
        if (catalogue::madeFor(i, model) && (only ? catalogue::makesOnly(i, kind) : catalogue::makes(i, kind)) &&
            (!best || i.takes.count > best->takes.count))
            best = &i;
    return best;
}

// The digital read that gives a module's whole word, as an output module's
// reply holds it: the read made for a module with an input on every bit,
// which keeps them all.
const catalogue::Instruction *wholeWordRead()
{
    for (const catalogue::Instruction &i : catalogue::instructions)
        for (int k = 0; k < i.does.modelCount; ++k) {
            const std::optional<Model> model = vsim::modelFromNumber(i.does.models[k]);
            if (catalogue::makesOnly(i, catalogue::READ_DIGITAL) && model && vsim::modelInfo(*model).din == WORD_BITS)
                return &i;
        }
    return nullptr;
}

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

PointInstructions pointInstructions(const vsim::Module &m, const Point &p)
{
    const int model = m.info().number;
    PointInstructions is;
    switch (p.kind) {
    case Point::Kind::AnalogIn:
        is.read = instructionFor(model, catalogue::READ_ANALOG, true);
        break;
    case Point::Kind::AnalogOut:
        is.write = instructionFor(model, catalogue::WRITE_ANALOG, true);
        break;
    case Point::Kind::DigitalIn:
    case Point::Kind::DigitalOut:
        is.read = instructionFor(model, catalogue::READ_DIGITAL, true);
        if (!is.read)
            is.read = wholeWordRead();
        if (p.output())
            is.write = instructionFor(model, catalogue::WRITE_DIGITAL, false);
        break;
    }
    return is;
}

unsigned PointIo::call(const catalogue::Instruction *instr, std::initializer_list<Given> given, const SSHORT &err)
{
    if (!instr)
        return NO_CODE;
    // The instruction's operands in its order, each from what is given.
    std::vector<TLIPARAM> params;
    for (int k = 0; k < instr->takes.count; ++k) {
        const Given *g = std::find_if(given.begin(), given.end(), [&](const Given &x) {
            return operands::sameLabel(x.operand.prm_name, instr->takes.p[k].prm_name);
        });
        if (g == given.end())
            return NO_CODE;
        params.push_back(g->value);
    }
    // A reply lost once on a busy line is no fault of the point's wiring:
    // the call is made again (a read, or a write of the same value), and a
    // point whose module does not answer TRIES times shows the code.
    const int n = tableEntries(table_);
    for (int i = 0; i < n; ++i)
        if (instrName(table_[i]) == instr->name) {
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
    const unsigned code = call(pointInstructions(m, p).read,
                               {{operands::addr, records::wordIn(a)},
                                {operands::format, records::wordIn(format)},
                                {operands::ain, ain},
                                {operands::errcode, records::wordOut(&err)},
                                {operands::errchan, records::wordOut(&errChan)}},
                               err);
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

Reading PointIo::readBit(const Point &p, const vsim::Module &m)
{
    // An input module's own read gives its inputs; an output module's reply
    // to the whole-word read holds its outputs (a relay module's in the
    // first two digits, its inputs, active-low, in the last).
    SSHORT din = 0, err = -1;
    const unsigned code = call(pointInstructions(m, p).read,
                               {{operands::addr, records::wordIn(static_cast<int16_t>(m.address))},
                                {operands::xormask, records::wordIn(0)},
                                {operands::din, records::wordOut(&din)},
                                {operands::errcode, records::wordOut(&err)}},
                               err);
    if (code != EC_OK)
        return failed(code);
    int bits = static_cast<uint16_t>(din);
    if (m.model == Model::M7043)
        outputs_[m.address] = bits;
    else if (relays(m.model) && p.output())
        bits = outputs_[m.address] = bits >> RELAY_SHIFT;
    else if (relays(m.model))
        bits = ~bits & RELAY_INPUTS;
    return valued(p, bits >> p.channel & 1);
}

unsigned PointIo::writeBits(const Point &p, const vsim::Module &m, int bits)
{
    SSHORT din = 0, err = -1;
    const unsigned code = call(pointInstructions(m, p).write,
                               {{operands::addr, records::wordIn(static_cast<int16_t>(m.address))},
                                {operands::dout, records::wordIn(static_cast<int16_t>(bits))},
                                {operands::din, records::wordOut(&din)},
                                {operands::errcode, records::wordOut(&err)}},
                               err);
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
        const unsigned code = call(pointInstructions(*m, p).write,
                                   {{operands::addr, records::wordIn(static_cast<int16_t>(m->address))},
                                    {operands::chan, records::wordIn(static_cast<int16_t>(p.channel))},
                                    {operands::aout, records::floatIn(wire)},
                                    {operands::errcode, records::wordOut(&err)}},
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
    unsigned code = writeBits(p, *m, bits);
    if (code != EC_OK)
        return failed(code);
    return readBit(p, *m);
}

} // namespace vhost
