// The survey.
#include "survey.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>

#include "errors.h"
#include "ladder.h"
#include "platform.h"
#include "records.h"
#include "wire.h"

namespace vhost {

namespace {

using ClockType = std::chrono::steady_clock;

const FUNCDEF *findInstr(const FUNCDEF *table, const char *name)
{
    int n = tableEntries(table);
    for (int i = 0; i < n; ++i)
        if (instrName(table[i]) == name)
            return &table[i];
    return nullptr;
}

// Calls an instruction with a true rung; returns its "ErrCode:" and the
// time it took.
unsigned call(const FUNCDEF *f, std::vector<TLIPARAM> params, SSHORT *err, double *ms)
{
    *err = -1;
    auto t0 = ClockType::now();
    f->fnc_ptr(1, static_cast<int32_t>(params.size()), params.data());
    if (ms)
        *ms = std::chrono::duration<double, std::milli>(ClockType::now() - t0).count();
    return static_cast<uint16_t>(*err);
}

std::string optionsFor(int port, int baudCode, bool checksum, int timeout)
{
    return "COMPORT=" + std::to_string(port) + " BAUD=" + std::to_string(baudCode) +
           " TIMEOUT=" + std::to_string(timeout) + (checksum ? " CHECKSUM" : "");
}

int clampTimeout(int t) { return t < TIMEOUT_MIN_MS ? TIMEOUT_MIN_MS : t > TIMEOUT_MAX_MS ? TIMEOUT_MAX_MS : t; }

std::string hex2(int v)
{
    char buf[8];
    snprintf(buf, sizeof buf, "%02X", v & 0xFF);
    return buf;
}

std::string settingText(int baud, bool checksum)
{
    return std::to_string(baud) + " baud, checksum " + (checksum ? "on" : "off");
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
    using Setting = std::pair<bool, int>; // checksum, baud
    std::map<Setting, std::vector<int>> reached;
    for (const SurveyFind &f : found)
        reached[{f.checksum, f.baud}].push_back(f.addr);
    const std::pair<const Setting, std::vector<int>> *best = nullptr;
    for (const auto &kv : reached)
        if (!best || kv.second.size() > best->second.size())
            best = &kv;
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

std::vector<SurveyFind> runSurvey(const SurveyLine &line, const SurveyOptions &opt, FILE *progress, std::string &error,
                                  volatile std::sig_atomic_t *stop)
{
    auto stopped = [stop] { return stop && *stop; };
    std::vector<SurveyFind> found;
    const FUNCDEF *rdms = findInstr(line.table, "I7RDMS");
    const FUNCDEF *ain = findInstr(line.table, "I7017");
    const FUNCDEF *din = findInstr(line.table, "I7041");
    if (!rdms || !ain || !din) {
        error = "the module has no I7RDMS, I7017 or I7041";
        return found;
    }
    std::vector<int> bauds = opt.bauds;
    if (bauds.empty())
        bauds.assign(std::begin(BAUD_CODES), std::end(BAUD_CODES));
    std::vector<bool> sums = opt.checksums;
    if (sums.empty())
        sums = {false, true};
    InputValues probe;
    auto tAll = ClockType::now();
    // A module may still be sending when the survey moves on (a refusal is
    // reported at its "?", a late reply comes after the time-out), and at
    // another speed the driver cannot tell its characters from a quiet line
    // for long.  So before each new Init the line gets the time-out of the
    // last exchange to fall quiet.
    int lastTimeout = 0;
    auto initLine = [&](const std::string &o, int t) {
        sleepMs(lastTimeout);
        lastTimeout = t;
        return line.init(o);
    };

    // Every setting without checksums comes first: an Init can switch
    // checksums on but never off again.
    std::stable_sort(sums.begin(), sums.end(), [](bool a, bool b) { return !a && b; });
    for (bool cs : sums) {
        for (int code : bauds) {
            if (stopped())
                break;
            int baud = code * 100;
            // The status read's own time on the wire plus the margin.
            int t =
                opt.timeoutMs ? opt.timeoutMs : clampTimeout(minTimeoutMs(exchangesOf("I7RDMS", probe, cs)[0], baud));
            std::string o = optionsFor(opt.port, code, cs, t);
            if (progress)
                fprintf(progress, "survey: %6d baud, checksum %-3s (%s): ", baud, cs ? "on" : "off", o.c_str());
            ERRCODE ec = initLine(o, t);
            if (ec != 0) {
                if (progress)
                    fprintf(progress, "\n");
                error = "Init with \"" + o + "\" failed: " + errorLabel(ec);
                return found;
            }
            auto t0 = ClockType::now();
            std::vector<SurveyFind> here;
            for (int a = opt.first; a <= opt.last && !stopped(); ++a) {
                SSHORT status = 0, err = 0;
                double ms = 0;
                unsigned rc = call(
                    rdms, {records::wordIn(static_cast<int16_t>(a)), records::wordOut(&status), records::wordOut(&err)},
                    &err, &ms);
                if (rc == EC_OK) {
                    SurveyFind f;
                    f.addr = a;
                    f.baud = baud;
                    f.checksum = cs;
                    f.status = static_cast<uint16_t>(status) & 0xFF;
                    f.ms = ms;
                    here.push_back(f);
                }
                if (progress && (a - opt.first) % 32 == 31) {
                    fputc('.', progress);
                    fflush(progress);
                }
            }
            // What each module found answers: the longest reply (an analog
            // read in the decimal form) needs its own time-out.
            if (!here.empty()) {
                int t2 = opt.timeoutMs ? opt.timeoutMs
                                       : clampTimeout(minTimeoutMs(exchangesOf("I7017", probe, cs)[0], baud));
                ec = stopped() ? EC_OK : initLine(optionsFor(opt.port, code, cs, t2), t2);
                for (SurveyFind &f : here) {
                    if (stopped())
                        f.answers = "not tried";
                    if (ec != EC_OK || stopped())
                        continue;
                    int16_t a = static_cast<int16_t>(f.addr);
                    SSHORT status = 0, err = 0, words[8] = {}, mask = 0;
                    float values[8] = {};
                    call(rdms, {records::wordIn(a), records::wordOut(&status), records::wordOut(&err)}, &err, &f.ms);
                    f.dec = call(
                        ain,
                        {records::wordIn(a), records::wordIn(0), records::floatOut(values), records::wordOut(&err)},
                        &err, nullptr);
                    f.hex = call(
                        ain, {records::wordIn(a), records::wordIn(2), records::wordOut(words), records::wordOut(&err)},
                        &err, nullptr);
                    f.din = call(
                        din, {records::wordIn(a), records::wordIn(0), records::wordOut(&mask), records::wordOut(&err)},
                        &err, nullptr);
                    std::vector<std::string> kinds;
                    if (f.dec == EC_OK)
                        kinds.push_back("analog read (decimal)");
                    // A hex reply with an open input (a five-character
                    // field) is of unexpected length in both forms.
                    if (f.hex == EC_OK || (f.hex == EC_AIN_LENGTH && f.dec == EC_AIN_LENGTH))
                        kinds.push_back("analog read (hex)");
                    if (f.din == EC_OK)
                        kinds.push_back("digital read");
                    for (const std::string &k : kinds)
                        f.answers += (f.answers.empty() ? "" : ", ") + k;
                    if (f.answers.empty())
                        f.answers = "status only";
                }
            }
            if (progress)
                fprintf(progress, " %zu answered (%.1f s)\n", here.size(),
                        std::chrono::duration<double>(ClockType::now() - t0).count());
            found.insert(found.end(), here.begin(), here.end());
        }
    }
    if (progress)
        fprintf(progress, "survey: %.1f s in all\n", std::chrono::duration<double>(ClockType::now() - tAll).count());
    return found;
}

std::string surveyReport(const std::vector<SurveyFind> &found)
{
    std::string s;
    if (found.empty())
        return "no module answered\n";
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
