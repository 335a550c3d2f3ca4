// The survey's report: the table of what answered, the addresses that
// answered at more than one setting or came garbled, the setting that
// reaches most of the line and the option string recommended from what the
// survey measured.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "errors.h"
#include "option_ranges.h"
#include "survey.h"
#include "survey_settings.h"
#include "wire.h"

namespace vhost {

namespace {

// "0C", as the wire writes an address or a status byte.
std::string hex2(int v) { return wire::hex2(static_cast<unsigned>(v)); }

std::string settingText(int baud, bool checksum)
{
    return std::to_string(baud) + " baud, checksum " + (checksum ? "on" : "off");
}

using Setting = std::pair<bool, int>; // checksum, baud

// The addresses each setting reached, and the setting that reached most
// (the first of them in (checksum, baud) order); null when nothing answered.
const std::pair<const Setting, std::vector<int>> *bestSetting(const std::vector<SurveyFind> &found,
                                                              std::map<Setting, std::vector<int>> &reached)
{
    for (const SurveyFind &f : found)
        reached[{f.checksum, f.baud}].push_back(f.addr);
    const std::pair<const Setting, std::vector<int>> *best = nullptr;
    for (const auto &kv : reached)
        if (!best || kv.second.size() > best->second.size())
            best = &kv;
    return best;
}

} // namespace

std::string surveyMixedLine(const std::vector<SurveyFind> &unsorted)
{
    std::vector<SurveyFind> found = unsorted;
    std::stable_sort(found.begin(), found.end(),
                     [](const SurveyFind &a, const SurveyFind &b) { return a.addr < b.addr; });
    std::vector<int> addrs;
    for (const SurveyFind &f : found)
        if (addrs.empty() || addrs.back() != f.addr)
            addrs.push_back(f.addr);
    size_t addresses = addrs.size();
    std::map<Setting, std::vector<int>> reached;
    const std::pair<const Setting, std::vector<int>> *best = bestSetting(found, reached);
    if (!best || best->second.size() == addresses)
        return "";
    const std::vector<int> &in = best->second;
    std::map<int, std::string> left; // address -> where it answered
    for (const SurveyFind &f : found)
        if (std::find(in.begin(), in.end(), f.addr) == in.end())
            left[f.addr] += (left[f.addr].empty() ? "" : " or ") + settingText(f.baud, f.checksum);
    std::string list;
    for (const auto &kv : left)
        list += (list.empty() ? "" : "; ") + hex2(kv.first) + " (" + std::to_string(kv.first) + ") at " + kv.second;
    return "one option string cannot reach the whole line: BAUD=" + std::to_string(best->first.second / 100) +
           (best->first.first ? " with" : " without") + " CHECKSUM reaches " + std::to_string(in.size()) + " of the " +
           std::to_string(addresses) + " addresses and leaves out " + list + "\n";
}

namespace {

// The longest exchange a module answered, as the survey tried it.
Exchange longestRead(const SurveyFind &f)
{
    InputValues in;
    in.addr = f.addr;
    if (f.dec == EC_OK || f.dec == EC_AIN_LENGTH)
        return exchangeOf(catalogue::READ_ANALOG, in, f.checksum);
    if (f.hex == EC_OK || f.hex == EC_AIN_LENGTH) {
        in.format = 2;
        return exchangeOf(catalogue::READ_ANALOG, in, f.checksum);
    }
    if (f.din == EC_OK)
        return exchangeOf(catalogue::READ_DIGITAL, in, f.checksum);
    return exchangeOf(catalogue::READ_STATUS, in, f.checksum);
}

// The recommended time-out covers the slowest reply with a quarter of it
// and this besides.
constexpr double RECOMMEND_MARGIN_MS = 5.0;
// A response this far beyond its wire time is more than a module's
// turn-around: a serial adapter's delivery.
constexpr double ADAPTER_EXCESS_MS = 8.0;

std::string ms1(double ms)
{
    char b[32];
    snprintf(b, sizeof b, "%.1f ms", ms);
    return b;
}

} // namespace

std::string surveyRecommendation(const std::vector<SurveyFind> &found, int port)
{
    std::map<Setting, std::vector<int>> reached;
    const std::pair<const Setting, std::vector<int>> *best = bestSetting(found, reached);
    if (!best)
        return "";
    // Where modules follow the line's speed several settings reach them
    // all: the driver's own speed then, where it is one of them.
    for (const auto &kv : reached)
        if (kv.second.size() == best->second.size() && kv.first.first == best->first.first &&
            kv.first.second == BAUD_DEFAULT_BPS)
            best = &kv;
    const bool cs = best->first.first;
    const int baud = best->first.second;
    const SurveyFind *slowest = nullptr, *latest = nullptr;
    double longest = 0;
    for (const SurveyFind &f : found) {
        if (f.checksum != cs || f.baud != baud)
            continue;
        double w = wireMs(wireChars(longestRead(f)), baud);
        if (!slowest || w > longest) {
            slowest = &f;
            longest = w;
        }
        if (!latest || f.excessMs > latest->excessMs)
            latest = &f;
    }
    if (!slowest || !latest)
        return "";
    // The longest reply on the wire, and the line's slowest response besides.
    const double late = std::max(0.0, latest->excessMs);
    const double need = longest + late;
    int timeout = clampTimeout(static_cast<int>(std::ceil(need * 1.25 + RECOMMEND_MARGIN_MS)));
    int latency = latencyFor(late);
    std::string s = "measured: replies came up to " + ms1(late) + " after their time on the wire (" +
                    hex2(latest->addr) + "h: turn-around and delivery); the longest, " + hex2(slowest->addr) + "h's " +
                    longestRead(*slowest).what + ", takes " + ms1(longest) + " on the wire: " + ms1(need) + " in all\n";
    if (late > ADAPTER_EXCESS_MS) {
        // What one survey measures of an adapter's delivery depends on where
        // in the adapter's timer period each reply ended: never less than
        // the driver's default then.
        latency = std::max(latency, static_cast<int>(LATENCY_DEFAULT_MS));
        s += "replies come late: a serial adapter that hands them over in bursts (its latency timer); LATENCY covers "
             "it\n";
    }
    s += "recommended option string: " + optionsFor(port, baud / 100, cs, timeout, latency) + "\n";
    return s;
}

std::string duplicateRemedy(int address)
{
    const std::string aa = hex2(address);
    return "Power the modules at " + aa +
           "h one at a time (or wire INIT to ground on one and power it up), give each its own address with "
           "`configure`, then survey again";
}

std::string duplicateAdvice(int address)
{
    const std::string aa = hex2(address);
    return "replies at " + aa + "h come garbled while the rest of the line is clean: more than one module at " + aa +
           "h? " + duplicateRemedy(address);
}

std::string garbledAnswer(int address)
{
    const std::string aa = hex2(address);
    return "something answers at " + aa + "h, but garbled: more than one module at " + aa + "h?";
}

namespace {

// Why a try counted as garbled: the driver's code, and for a time-out what
// came during it.
std::string garbledWhy(unsigned code)
{
    return errorLabel(code) + (code == EC_TIMEOUT ? ", bytes but no whole reply" : "");
}

} // namespace

std::string surveyGarbledLines(const std::vector<SurveyGarbled> &garbled, const std::vector<SurveyFind> &found)
{
    std::map<int, std::string> where; // address -> the settings its replies came garbled at
    for (const SurveyGarbled &g : garbled)
        where[g.addr] +=
            (where[g.addr].empty() ? "" : "; ") + settingText(g.baud, g.checksum) + " (" + garbledWhy(g.code) + ")";
    // Two modules that share an address garble their replies at that
    // address only; replies garbled all over are the line's.
    constexpr size_t FEW = 2;
    std::string s;
    if (where.size() > FEW) {
        s = "replies came garbled at " + std::to_string(where.size()) + " addresses:";
        for (const auto &[addr, at] : where)
            s += " " + hex2(addr) + "h";
        return s + "; the line garbles them: check the A/B wires, the terminating resistors and the ground, "
                   "and that no module answers at a speed of its own\n";
    }
    for (const auto &[addr, at] : where) {
        const int a = addr;
        const bool valid = std::any_of(found.begin(), found.end(), [a](const SurveyFind &f) { return f.addr == a; });
        const std::string tries = " replies " + std::to_string(GARBLED_TRIES) + " times in a row at " + at;
        s += "address " + hex2(addr) + " (" + std::to_string(addr) + "): " +
             (valid ? "garbled" + tries + "; " + duplicateAdvice(addr)
                    : garbledAnswer(addr) + " Garbled" + tries + ". " + duplicateRemedy(addr)) +
             "\n";
    }
    return s;
}

std::string surveyReport(const std::vector<SurveyFind> &found, const std::vector<SurveyGarbled> &garbled)
{
    std::string s;
    if (found.empty())
        return garbled.empty() ? "no module answered\n" : "no valid reply at any address\n";
    std::vector<SurveyFind> sorted = found;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const SurveyFind &a, const SurveyFind &b) { return a.addr < b.addr; });
    s += "address      baud  checksum  status  response  answers\n";
    std::map<int, std::vector<const SurveyFind *>> byAddr;
    for (const SurveyFind &f : sorted) {
        char line[256];
        snprintf(line, sizeof line, "%s (%3d)  %6d  %-8s  0x%s    %5.1f ms  %s\n", hex2(f.addr).c_str(), f.addr, f.baud,
                 f.checksum ? "on" : "off", hex2(f.status).c_str(), f.ms, f.answers.c_str());
        s += line;
        byAddr[f.addr].push_back(&f);
    }
    for (auto &kv : byAddr) {
        if (kv.second.size() < 2)
            continue;
        s += "address " + hex2(kv.first) + " (" + std::to_string(kv.first) + ") answered at more than one setting:";
        for (size_t i = 0; i < kv.second.size(); ++i)
            s += std::string(i ? ";" : "") + " " + std::to_string(kv.second[i]->baud) + " baud, checksum " +
                 (kv.second[i]->checksum ? "on" : "off");
        s += "\n";
    }
    s += std::to_string(byAddr.size()) + " address" + (byAddr.size() == 1 ? "" : "es") + " answered\n";
    return s;
}

} // namespace vhost
