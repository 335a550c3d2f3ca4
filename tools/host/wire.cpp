// The exchanges of the module's instructions on the wire.
#include "wire.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "hostcmd.h"

namespace vhost {

namespace {

std::string hex2(int v) { return wire::hex2(static_cast<uint32_t>(v) & 0xFF); }

std::string hexDigits(int v, int n) { return wire::hexDigits(static_cast<uint32_t>(v), n); }

// Frames a command body: checksum when on, carriage return.
std::string frame(const std::string &body, bool checksum) { return wire::framed(body, checksum); }

// A reply body with the module's checksum placeholder and carriage return.
std::string reply(const std::string &body, bool checksum) { return body + (checksum ? "cc" : "") + "\r"; }

std::string repeat(const std::string &s, int n)
{
    std::string r;
    for (int i = 0; i < n; ++i)
        r += s;
    return r;
}

} // namespace

std::vector<Exchange> exchangesOf(const std::string &instr, const InputValues &in, bool cs)
{
    std::string aa = hex2(in.addr);
    std::vector<Exchange> x;
    auto readDin = [&] { x.push_back({"read digital I/O", frame("@" + aa, cs), reply(">hhhh", cs)}); };
    auto writeDout = [&](int digits) {
        x.push_back({"write digital outputs", frame("@" + aa + hexDigits(in.dout, digits), cs), reply(">", cs)});
    };
    if (instr == "I7017" || instr == "I7018") {
        bool hex = in.format == 2;
        x.push_back({hex ? "read analog inputs (hex)" : "read analog inputs (decimal)", frame("#" + aa, cs),
                     reply(">" + repeat(hex ? "hhhh" : "+dd.ddd", 8), cs)});
    } else if (instr == "I7024") {
        char value[32];
        snprintf(value, sizeof value, "%+07.3f", static_cast<double>(in.aout));
        x.push_back({"write analog output",
                     frame("#" + aa + hexDigits(in.chan, 1) + std::string(value).substr(0, 7), cs), reply(">", cs)});
    } else if (instr == "I7041" || instr == "I7052" || instr == "I7053") {
        readDin();
    } else if (instr == "I7043") {
        writeDout(4);
    } else if (instr == "I7060" || instr == "I7065") {
        writeDout(instr == "I7060" ? 1 : 2);
        readDin();
    } else if (instr == "I7RDC") {
        x.push_back({"read counter", frame("#" + aa + hexDigits(in.chan, 1), cs), reply("!" + aa + "hhhhh", cs)});
    } else if (instr == "I7CDC") {
        x.push_back({"clear counter", frame("$" + aa + "C" + hexDigits(in.chan, 1), cs), reply("!" + aa, cs)});
    } else if (instr == "I7RDMS") {
        x.push_back(
            {"read module status", frame("~" + aa + hexDigits(HOST_READ_STATUS, 1), cs), reply("!" + aa + "hh", cs)});
    } else if (instr == "I7RSMS") {
        x.push_back(
            {"reset module status", frame("~" + aa + hexDigits(HOST_RESET_STATUS, 1), cs), reply("!" + aa, cs)});
    } else if (instr == "I7SHWV") {
        // The watchdog is always enabled ("1").
        x.push_back({"set host watchdog", frame("~" + aa + hexDigits(HOST_SET_WATCHDOG, 1) + "1" + hex2(in.hsecs), cs),
                     reply("!" + aa, cs)});
    } else if (instr == "I7HOK") {
        x.push_back({"host OK broadcast", frame("~**", cs), ""});
    }
    return x;
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
