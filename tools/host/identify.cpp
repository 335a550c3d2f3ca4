// identify: what the modules at the addresses asked (or found by the
// survey) say of themselves, read through the line client, and the table it
// is reported in; and the reads configure shares.
#include "identify.h"

#include <cstdio>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "bringup.h"
#include "survey.h"

namespace vhost {

using wire::FORMAT_CHECKSUM;
using wire::FORMAT_FORM;
using wire::FORMAT_HEX;

std::optional<Configuration> readConfiguration(LineClient &line, const Reach &at, int timeoutMs, Heard *heard)
{
    std::string body;
    Heard h = line.ask(at, "$" + wire::hex2(static_cast<unsigned>(at.address)) + "2", timeoutMs, body);
    if (heard)
        *heard = h;
    if (h != Heard::Reply || body.size() != 9 || body[0] != '!')
        return std::nullopt;
    auto a = wire::hexNumber(body.substr(1, 2)), t = wire::hexNumber(body.substr(3, 2)),
         c = wire::hexNumber(body.substr(5, 2)), f = wire::hexNumber(body.substr(7, 2));
    if (!a || !t || !c || !f)
        return std::nullopt;
    Configuration cfg;
    cfg.address = static_cast<int>(*a);
    cfg.type = *t;
    cfg.baudCode = *c;
    cfg.format = *f;
    return cfg;
}

std::string readText(LineClient &line, const Reach &at, char what, int timeoutMs)
{
    std::string body;
    const std::string aa = wire::hex2(static_cast<unsigned>(at.address));
    if (line.ask(at, "$" + aa + what, timeoutMs, body) != Heard::Reply || body.compare(0, 3, "!" + aa) != 0)
        return "";
    return body.substr(3);
}

std::optional<Reach> findModule(LineClient &line, const LineOptions &opt, int address, std::string &error,
                                bool *garbled)
{
    if (garbled)
        *garbled = false;
    std::vector<int> rates;
    if (opt.baud > 0)
        rates.push_back(opt.baud);
    else
        rates = wire::probeSpeeds();
    std::vector<bool> sums;
    if (opt.checksum >= 0)
        sums.push_back(opt.checksum == 1);
    else
        sums = {false, true};
    for (int rate : rates) {
        if (!line.open(rate, error))
            return std::nullopt;
        for (bool sum : sums) {
            Reach at{address, rate, sum};
            Heard h = Heard::Nothing;
            if (readConfiguration(line, at, opt.timeoutMs, &h))
                return at;
            // A reply garbled once (a module at this setting cut short, on a
            // busy line or a busy computer) is asked for again before the
            // address is taken for one that two modules share.
            if (h == Heard::Garbled && readConfiguration(line, at, opt.timeoutMs, &h))
                return at;
            if (h == Heard::Garbled && garbled)
                *garbled = true;
        }
    }
    return std::nullopt;
}

std::string formatText(unsigned format, unsigned type, const std::string &name)
{
    if ((format & FORMAT_FORM) == FORMAT_HEX)
        return "hex";
    if ((format & FORMAT_FORM) != 0)
        return "code " + std::to_string(format & FORMAT_FORM);
    return name == "7017" || name == "7018" || type != DIGITAL_TYPE ? "decimal" : "-";
}

std::string speedText(unsigned code)
{
    const int r = wire::baudOfCode(static_cast<int>(code));
    return r > 0 ? std::to_string(r) : "code " + wire::hex2(code);
}

// What a module at a reach says of itself; nothing when it stops answering.
std::optional<ModuleIdentity> identityAt(LineClient &line, const Reach &at, int timeoutMs)
{
    auto cfg = readConfiguration(line, at, timeoutMs);
    if (!cfg)
        return std::nullopt;
    ModuleIdentity id;
    id.address = at.address;
    id.told = cfg->address;
    id.baud = at.baud;
    id.checksum = at.checksum;
    id.type = cfg->type;
    id.baudCode = cfg->baudCode;
    id.format = cfg->format;
    id.name = readText(line, at, 'M', timeoutMs);
    id.firmware = readText(line, at, 'F', timeoutMs);
    return id;
}

namespace {

void printIdentityHeading()
{
    printf("%-5s %-7s %-9s %-4s %-7s %-8s %-8s %s\n", "addr", "name", "firmware", "type", "speed", "checksum", "format",
           "answered at");
}

// One row of the table; `where` says at which settings it answered.
void printIdentity(const ModuleIdentity &id, const std::string &where)
{
    printf("%-5s %-7s %-9s %-4s %-7s %-8s %-8s %s\n", (wire::hex2(static_cast<unsigned>(id.address)) + "h").c_str(),
           id.name.empty() ? "?" : id.name.c_str(), id.firmware.empty() ? "?" : id.firmware.c_str(),
           wire::hex2(id.type).c_str(), speedText(id.baudCode).c_str(), id.format & FORMAT_CHECKSUM ? "on" : "off",
           formatText(id.format, id.type, id.name).c_str(), where.c_str());
    if (id.address == INIT_ADDRESS && id.told != INIT_ADDRESS)
        printf("      the module at 00h says its address is %sh: it is in INIT mode\n",
               wire::hex2(static_cast<unsigned>(id.told)).c_str());
}

std::string reachText(int baud, bool checksum)
{
    return std::to_string(baud) + (checksum ? " checksum" : " no checksum");
}

} // namespace

Exit identifyCommand(const LineOptions &opt, const std::vector<int> &addresses)
{
    LineClient line(opt.port);
    std::string error;
    bool headed = false; // the heading comes with the first row: none over a port that would not open
    int missing = 0;
    for (int a : addresses) {
        bool garbled = false;
        auto at = findModule(line, opt, a, error, &garbled);
        if (!error.empty()) {
            fprintf(stderr, "veldran-host: identify: %s\n", error.c_str());
            return EXIT_LINE;
        }
        if (!std::exchange(headed, true))
            printIdentityHeading();
        const std::string aa = wire::hex2(static_cast<unsigned>(a)) + "h";
        if (!at) {
            ++missing;
            // Bytes that never made a reply are not silence.
            printf("%-5s %s\n", aa.c_str(), garbled ? garbledAnswer(a).c_str() : "no answer");
            if (garbled)
                printf("      %s\n", duplicateRemedy(a).c_str());
            continue;
        }
        auto id = identityAt(line, *at, opt.timeoutMs);
        if (!id) {
            ++missing;
            printf("%-5s %s\n", aa.c_str(), "answered once, then not");
            continue;
        }
        printIdentity(*id, reachText(at->baud, at->checksum));
    }
    return missing ? EXIT_NO_ANSWER : EXIT_OK;
}

Exit identifyFound(const LineOptions &opt, const std::vector<SurveyFind> &found, std::vector<ModuleIdentity> &ids)
{
    // Each address once, at the first setting it answered at; one that
    // answered at every speed tried follows the line's (a simulated module).
    std::map<int, std::vector<const SurveyFind *>> byAddress;
    for (const SurveyFind &f : found)
        byAddress[f.addr].push_back(&f);
    LineClient line(opt.port);
    std::string error;
    bool headed = false;
    int missing = 0;
    for (const auto &[address, finds] : byAddress) {
        const SurveyFind &first = *finds.front();
        if (!line.open(first.baud, error)) {
            fprintf(stderr, "veldran-host: identify: %s\n", error.c_str());
            return EXIT_LINE;
        }
        if (!std::exchange(headed, true))
            printIdentityHeading();
        std::string where;
        std::set<int> speeds;
        for (const SurveyFind *f : finds) {
            where += (where.empty() ? "" : ", ") + reachText(f->baud, f->checksum);
            speeds.insert(f->baud);
        }
        auto id = identityAt(line, Reach{address, first.baud, first.checksum}, opt.timeoutMs);
        if (!id) {
            ++missing;
            printf("%-5s %s\n", (wire::hex2(static_cast<unsigned>(address)) + "h").c_str(),
                   "answered the survey, then not");
            continue;
        }
        if (speeds.size() > 1)
            id->baud = 0;
        printIdentity(*id, where);
        ids.push_back(*id);
    }
    return missing ? EXIT_NO_ANSWER : EXIT_OK;
}

} // namespace vhost
