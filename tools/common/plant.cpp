#include "plant.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "wire_format.h"

namespace vsim {

namespace {

//                  model        num   ain aout din dout digits
const ModelInfo MODELS[] = {
    {Model::M7017, 7017, 8, 0, 0, 0, 0},  {Model::M7018, 7018, 8, 0, 0, 0, 0},  {Model::M7024, 7024, 0, 4, 0, 0, 0},
    {Model::M7041, 7041, 0, 0, 14, 0, 0}, {Model::M7043, 7043, 0, 0, 0, 16, 4}, {Model::M7052, 7052, 0, 0, 8, 0, 0},
    {Model::M7053, 7053, 0, 0, 16, 0, 0}, {Model::M7060, 7060, 0, 0, 4, 4, 1},  {Model::M7065, 7065, 0, 0, 4, 5, 2},
};

// A simulated module in INIT mode listens at the modules' INIT speed.
static_assert(Module::INIT_BAUD == wire::INIT_BAUD, "Module::INIT_BAUD: the modules' INIT speed");

uint32_t maskOf(int bits) { return bits >= 32 ? 0xFFFFFFFFu : ((1u << bits) - 1u); }

} // namespace

const ModelInfo &modelInfo(Model m) { return MODELS[static_cast<int>(m)]; }

std::optional<Model> modelFromNumber(long number)
{
    for (const auto &m : MODELS)
        if (m.number == number)
            return m.model;
    return std::nullopt;
}

// ---------------------------------------------------------------------------
// Signals

double Signal::at(Millis now) const
{
    if (kind != Kind::Ramp)
        return value;
    double v = value + rate * (now - origin) / 1000.0;
    if (!bounded || !(max > min))
        return v;
    const double span = max - min;
    switch (mode) {
    case Mode::Clamp:
        return std::clamp(v, min, max);
    case Mode::Wrap: {
        double r = std::fmod(v - min, span);
        if (r < 0)
            r += span;
        return min + r;
    }
    case Mode::Bounce: {
        double r = std::fmod(v - min, 2 * span);
        if (r < 0)
            r += 2 * span;
        return r <= span ? min + r : max - (r - span);
    }
    }
    return v;
}

void Signal::rebase(double v, Millis now)
{
    if (kind == Kind::Open)
        kind = Kind::Constant;
    value = v;
    origin = now;
}

// ---------------------------------------------------------------------------
// Modules

uint32_t Module::doutMask() const { return maskOf(info().dout); }
uint32_t Module::dinMask() const { return maskOf(info().din); }

uint32_t Module::counter(int ch, Millis now) const
{
    double v = std::floor(counters.at(static_cast<size_t>(ch)).at(now));
    double m = std::fmod(v, static_cast<double>(COUNTER_MODULO));
    if (m < 0)
        m += COUNTER_MODULO;
    return static_cast<uint32_t>(m);
}

void Module::setCounter(int ch, uint32_t v, Millis now)
{
    counters.at(static_cast<size_t>(ch)).rebase(v % COUNTER_MODULO, now);
}

void Module::setDin(uint32_t bits, Millis now)
{
    bits &= dinMask();
    const uint32_t rising = bits & ~din;
    for (int ch = 0; ch < info().din; ++ch)
        if (rising & (1u << ch))
            setCounter(ch, counter(ch, now) + 1, now);
    din = bits;
}

std::optional<Millis> Module::watchdogDeadline() const
{
    if (!wdEnabled || wdValue <= 0 || wdExpired)
        return std::nullopt;
    return wdKick + wdValue * 100.0;
}

bool Module::tick(Millis now)
{
    auto deadline = watchdogDeadline();
    if (!deadline || now < *deadline)
        return false;
    expire();
    return true;
}

void Module::expire()
{
    wdExpired = true;
    status |= STATUS_WATCHDOG;
    dout = safeDout & doutMask();
    aout = safeAout;
}

void Module::resetStatus(Millis now)
{
    status = 0;
    wdExpired = false;
    kickWatchdog(now);
}

int defaultTypeCode(Model m)
{
    switch (m) {
    case Model::M7017:
        return 0x08; // +-10 V
    case Model::M7018:
        return 0x0F; // thermocouple K
    case Model::M7024:
        return 0x33; // +-10 V out
    default:
        return 0x40;
    }
}

void Module::powerUp(Millis now)
{
    if (pendingBaud >= 0)
        baud = pendingBaud;
    if (pendingChecksum >= 0)
        checksum = pendingChecksum == 1;
    pendingBaud = pendingChecksum = -1;
    initMode = initWire;
    if (wdExpired) {
        status &= static_cast<uint8_t>(~STATUS_WATCHDOG);
        wdExpired = false;
    }
    kickWatchdog(now);
}

std::vector<Module *> Plant::answering(int address)
{
    std::vector<Module *> all;
    for (auto &m : modules)
        if (m.answersAt() == address)
            all.push_back(&m);
    return all;
}

double Point::toEngineering(double wire) const
{
    return range[0] + (wire - signal[0]) * (range[1] - range[0]) / (signal[1] - signal[0]);
}

double Point::toWire(double engineering) const
{
    return signal[0] + (engineering - range[0]) * (signal[1] - signal[0]) / (range[1] - range[0]);
}

Module *Plant::find(int address)
{
    for (auto &m : modules)
        if (m.address == address)
            return &m;
    return nullptr;
}

const Module *Plant::find(int address) const
{
    for (const auto &m : modules)
        if (m.address == address)
            return &m;
    return nullptr;
}

} // namespace vsim
