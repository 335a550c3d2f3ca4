// The exchanges of the module's instructions on the wire.
#include "wire.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "exchange_text.h"

namespace vhost {

namespace {

// The input operands by label, for the catalogue's fields.
wire::OperandValues valuesOf(const InputValues &in)
{
    return [&in](const char *label) -> double {
        const std::string l = label;
        if (l == operands::addr.prm_name)
            return in.addr;
        if (l == operands::format.prm_name)
            return in.format;
        if (l == operands::chan.prm_name)
            return in.chan;
        if (l == operands::dout.prm_name)
            return in.dout;
        if (l == operands::hsecs.prm_name)
            return in.hsecs;
        if (l == operands::aout.prm_name)
            return static_cast<double>(in.aout);
        return 0;
    };
}

} // namespace

std::vector<Exchange> exchangesOf(const catalogue::Instruction &instr, const InputValues &in, bool cs)
{
    const wire::OperandValues values = valuesOf(in);
    std::vector<Exchange> x;
    for (int i = 0; i < instr.does.exchangeCount; ++i) {
        const catalogue::Exchange &e = instr.does.exchanges[i];
        x.push_back({wire::formOf(e, values).what, wire::commandLine(e, values, cs), wire::replyLine(e, values, cs)});
    }
    return x;
}

std::vector<Exchange> exchangesOf(const std::string &instr, const InputValues &in, bool cs)
{
    const catalogue::Instruction *i = catalogue::find(instr.c_str());
    return i ? exchangesOf(*i, in, cs) : std::vector<Exchange>();
}

Exchange exchangeOf(catalogue::Kind kind, const InputValues &in, bool cs)
{
    const catalogue::Instruction *i = catalogue::firstMaking(kind);
    return i ? exchangesOf(*i, in, cs)[0] : Exchange();
}

double wireMs(size_t chars, int baud)
{
    return baud > 0 ? static_cast<double>(chars) * CHAR_BITS * 1000.0 / baud : 0.0;
}

size_t wireChars(const Exchange &e) { return e.command.size() + e.reply.size(); }

int minTimeoutMs(const Exchange &e, int baud, double marginMs)
{
    int t = static_cast<int>(std::ceil(wireMs(wireChars(e), baud) + marginMs));
    return t < TIMEOUT_MIN_MS ? TIMEOUT_MIN_MS : t;
}

std::vector<Arrival> burstsOf(const std::vector<Arrival> &arrivals, int baud)
{
    constexpr size_t PAUSE_CHARACTERS = 3;
    constexpr double PAUSE_MIN_MS = 2.0;
    const double pause = std::max(PAUSE_MIN_MS, wireMs(PAUSE_CHARACTERS, baud));
    std::vector<Arrival> bursts;
    double last = 0;
    for (const Arrival &a : arrivals) {
        if (a.chars == 0)
            continue;
        if (bursts.empty() || a.ms - last > pause)
            bursts.push_back({0, a.ms});
        bursts.back().chars += a.chars;
        last = a.ms;
    }
    return bursts;
}

std::string burstsText(const std::vector<Arrival> &bursts)
{
    if (bursts.size() < 2)
        return "";
    std::string s = std::to_string(bursts.size()) + " bursts: ";
    for (size_t i = 0; i < bursts.size(); ++i) {
        char at[64];
        snprintf(at, sizeof at, " at %.1f ms", bursts[i].ms);
        s += (i ? ", " : "") + std::to_string(bursts[i].chars) +
             (i                      ? ""
              : bursts[i].chars == 1 ? " char"
                                     : " chars") +
             at;
    }
    return s;
}

} // namespace vhost
