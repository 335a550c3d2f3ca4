#include "bringup.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <optional>
#include <set>

#include <CLI/CLI.hpp>

#include "comm.h"
#include "platform.h"
#include "settings.h"
#include "survey.h"
#include "wire.h"
#include "wire_format.h"

namespace vhost {

namespace {

// Speeds tried when a module's is not known: the usual ones first.
const int PROBE_RATES[] = {9600, 19200, 38400, 57600, 115200, 4800, 2400, 1200};
constexpr int INIT_BAUD = 9600;
constexpr int INIT_ADDRESS = 0;
constexpr size_t MAX_NAME = 6;
using wire::FORMAT_CHECKSUM;
using wire::FORMAT_FORM;
using wire::FORMAT_HEX;
constexpr unsigned DIGITAL_TYPE = 0x40;

double msSince(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

struct Reply {
    std::string bytes; // as received, the carriage return included
    bool complete = false;
    double firstMs = -1; // from the end of the command
    double crMs = -1;
    std::vector<Arrival> arrivals; // what each poll of the receive queue found
};

// One port of the serial library, opened at a speed.
class ComLine {
public:
    explicit ComLine(int port) : port_(port) {}
    ~ComLine() { close(); }
    ComLine(const ComLine &) = delete;
    ComLine &operator=(const ComLine &) = delete;

    bool open(int baud, std::string &error)
    {
        if (open_ && baud == baud_)
            return true;
        close();
        const int32_t rc = _COMsetup(port_, QUEUE, rcv_, QUEUE, xmit_, baud, 'N', 1, 8);
        if (rc != 0) {
            error = "COM" + std::to_string(port_) + " (" + portDevice(port_).device +
                    ") would not open: serial library error " + std::to_string(rc);
            return false;
        }
        _COMxmitclear(port_);
        _COMrcvclear(port_);
        open_ = true;
        baud_ = baud;
        return true;
    }
    void close()
    {
        if (open_)
            _COMdisable(port_);
        open_ = false;
    }
    int baud() const { return baud_; }

    // Sends the line and a carriage return; the reply up to its carriage
    // return, or what came before the time-out.
    Reply exchange(const std::string &line, int timeoutMs)
    {
        Reply r;
        _COMrcvclear(port_);
        const std::string out = line + "\r";
        if (!_COMwrite(port_, out.data(), static_cast<int32_t>(out.size())))
            return r;
        const auto sent = std::chrono::steady_clock::now();
        while (_COMxmitqueue(port_) > 0 && msSince(sent) < 1000)
            sleepMs(1);
        const auto end = std::chrono::steady_clock::now();
        auto last = end;
        for (;;) {
            int32_t n = _COMrcvqueue(port_);
            if (n > 0)
                r.arrivals.push_back({0, msSince(end)});
            for (int32_t i = 0; i < n; ++i) {
                const char c = static_cast<char>(_COMgetc(port_) & 0xFF);
                if (r.bytes.empty())
                    r.firstMs = r.arrivals.back().ms;
                r.bytes += c;
                ++r.arrivals.back().chars;
                last = std::chrono::steady_clock::now();
                if (c == '\r') {
                    r.crMs = msSince(end);
                    r.complete = true;
                    return r;
                }
            }
            if (msSince(last) >= timeoutMs)
                return r;
            sleepMs(1);
        }
    }

private:
    static constexpr int32_t QUEUE = 128;
    int port_;
    int baud_ = 0;
    bool open_ = false;
    char rcv_[QUEUE] = {};
    char xmit_[QUEUE] = {};
};

// How a module was reached: the address it answers at, the speed and the
// checksum setting.
struct Reach {
    int address = 0;
    int baud = INIT_BAUD;
    bool checksum = false;
};

enum class Heard { Nothing, Garbled, Reply };

// A command to a module and its reply's body (checksum checked and taken
// off); Garbled when bytes came that are no reply.
Heard ask(ComLine &com, const Reach &at, const std::string &command, int timeoutMs, std::string &body)
{
    const std::string line = at.checksum ? command + wire::checksum(command) : command;
    Reply r = com.exchange(line, timeoutMs);
    if (r.bytes.empty())
        return Heard::Nothing;
    if (!r.complete)
        return Heard::Garbled;
    std::string b = r.bytes.substr(0, r.bytes.size() - 1);
    for (char c : b)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F)
            return Heard::Garbled;
    if (at.checksum) {
        if (b.size() < 3 || wire::checksum(b.substr(0, b.size() - 2)) != b.substr(b.size() - 2))
            return Heard::Garbled;
        b.resize(b.size() - 2);
    }
    body = b;
    return Heard::Reply;
}

struct Configuration {
    int address = 0; // as the module tells it
    unsigned type = 0, baudCode = 0, format = 0;
    std::string name, firmware;
};

// $AA2: "!AATTCCFF".
std::optional<Configuration> readConfiguration(ComLine &com, const Reach &at, int timeoutMs, Heard *heard = nullptr)
{
    std::string body;
    Heard h = ask(com, at, "$" + wire::hex2(static_cast<unsigned>(at.address)) + "2", timeoutMs, body);
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

// "!AA" and a text ($AAM, $AAF); "" when nothing sensible came.
std::string readText(ComLine &com, const Reach &at, char what, int timeoutMs)
{
    std::string body;
    const std::string aa = wire::hex2(static_cast<unsigned>(at.address));
    if (ask(com, at, "$" + aa + what, timeoutMs, body) != Heard::Reply || body.compare(0, 3, "!" + aa) != 0)
        return "";
    return body.substr(3);
}

// Finds the speed and checksum setting a module at `address` answers at,
// within what the options leave open.  `garbled` tells whether something
// answered but never cleanly.
std::optional<Reach> find(ComLine &com, const LineOptions &opt, int address, std::string &error, bool *garbled)
{
    if (garbled)
        *garbled = false;
    std::vector<int> rates;
    if (opt.baud > 0)
        rates.push_back(opt.baud);
    else
        rates.assign(std::begin(PROBE_RATES), std::end(PROBE_RATES));
    std::vector<bool> sums;
    if (opt.checksum >= 0)
        sums.push_back(opt.checksum == 1);
    else
        sums = {false, true};
    for (int rate : rates) {
        if (!com.open(rate, error))
            return std::nullopt;
        for (bool sum : sums) {
            Reach at{address, rate, sum};
            Heard h = Heard::Nothing;
            if (readConfiguration(com, at, opt.timeoutMs, &h))
                return at;
            if (h == Heard::Garbled && garbled)
                *garbled = true;
        }
    }
    return std::nullopt;
}

// The data format: hex or decimal for the analog modules (their model
// name, or a type code other than the digital modules' 40), "-" otherwise.
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

// The options' words, checked before anything is sent.
struct Wanted {
    int address = -1;
    int baud = -1;
    int checksum = -1;
    int hex = -1;
    int type = -1;
    std::string name;
};

bool parseWanted(const ConfigureOptions &o, Wanted &w, std::string &error)
{
    if (!o.address.empty() && (w.address = parseAddress(o.address)) < 0) {
        error = "--address " + o.address + ": an address is 0 to 255 (decimal, 0x.. or ..h)";
        return false;
    }
    if (!o.baud.empty()) {
        char *end = nullptr;
        long b = std::strtol(o.baud.c_str(), &end, 10);
        if (end && *end == '\0' && b > 0 && b < 2000)
            b *= 100; // in hundreds, as BAUD= takes it
        if (!end || *end != '\0' || wire::baudCode(static_cast<int>(b)) == 0) {
            error = "--baud " + o.baud + ": the modules take 1200, 2400, 4800, 9600, 19200, 38400, 57600 or 115200";
            return false;
        }
        w.baud = static_cast<int>(b);
    }
    if (!o.checksum.empty()) {
        if (o.checksum != "on" && o.checksum != "off") {
            error = "--checksum " + o.checksum + ": on or off";
            return false;
        }
        w.checksum = o.checksum == "on" ? 1 : 0;
    }
    if (!o.format.empty()) {
        if (o.format != "decimal" && o.format != "hex") {
            error = "--format " + o.format + ": decimal or hex";
            return false;
        }
        w.hex = o.format == "hex" ? 1 : 0;
    }
    if (!o.type.empty()) {
        auto t = o.type.size() <= 2 ? wire::hexNumber(o.type) : std::nullopt;
        if (!t) {
            error = "--type " + o.type + ": two hex digits, 00 to FF";
            return false;
        }
        w.type = static_cast<int>(*t);
    }
    if (!o.name.empty()) {
        if (o.name.size() > MAX_NAME) {
            error = "--name " + o.name + ": too long; a module keeps up to 6 characters";
            return false;
        }
        for (char c : o.name)
            if (c < 0x21 || c > 0x7E || c == '(' || c == ')') {
                error = "--name " + o.name + ": printable characters without spaces or parentheses";
                return false;
            }
        w.name = o.name;
    }
    return true;
}

} // namespace

int parseAddress(const std::string &text)
{
    if (text.empty())
        return -1;
    std::optional<unsigned> v;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        v = text.size() <= 4 ? wire::hexNumber(text.substr(2)) : std::nullopt;
    else if (text.back() == 'h' || text.back() == 'H')
        v = text.size() <= 3 ? wire::hexNumber(text.substr(0, text.size() - 1)) : std::nullopt;
    else {
        char *end = nullptr;
        long n = text.size() <= 3 ? std::strtol(text.c_str(), &end, 10) : -1;
        if (end && *end == '\0' && n >= 0)
            v = static_cast<unsigned>(n);
    }
    return v && *v <= 255 ? static_cast<int>(*v) : -1;
}

namespace {

// What a module at a reach says of itself; nothing when it stops answering.
std::optional<ModuleIdentity> identityAt(ComLine &com, const Reach &at, int timeoutMs)
{
    auto cfg = readConfiguration(com, at, timeoutMs);
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
    id.name = readText(com, at, 'M', timeoutMs);
    id.firmware = readText(com, at, 'F', timeoutMs);
    return id;
}

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
    ComLine com(opt.port);
    std::string error;
    printIdentityHeading();
    int missing = 0;
    for (int a : addresses) {
        bool garbled = false;
        auto at = find(com, opt, a, error, &garbled);
        if (!error.empty()) {
            fprintf(stderr, "veldran-host: identify: %s\n", error.c_str());
            return EXIT_LINE;
        }
        const std::string aa = wire::hex2(static_cast<unsigned>(a)) + "h";
        if (!at) {
            ++missing;
            printf("%-5s %s\n", aa.c_str(), garbled ? "garbled replies" : "no answer");
            if (garbled)
                printf("      %s\n", duplicateAdvice(a).c_str());
            continue;
        }
        auto id = identityAt(com, *at, opt.timeoutMs);
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
    ComLine com(opt.port);
    std::string error;
    printIdentityHeading();
    int missing = 0;
    for (const auto &[address, finds] : byAddress) {
        const SurveyFind &first = *finds.front();
        if (!com.open(first.baud, error)) {
            fprintf(stderr, "veldran-host: identify: %s\n", error.c_str());
            return EXIT_LINE;
        }
        std::string where;
        std::set<int> speeds;
        for (const SurveyFind *f : finds) {
            where += (where.empty() ? "" : ", ") + reachText(f->baud, f->checksum);
            speeds.insert(f->baud);
        }
        auto id = identityAt(com, Reach{address, first.baud, first.checksum}, opt.timeoutMs);
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

namespace {

// Refuses a configuration: says why; nothing is written.
Exit refuse(const std::string &why, Exit status)
{
    fprintf(stderr, "veldran-host: configure: %s; nothing written\n", why.c_str());
    return status;
}

// The module to configure and how it is reached: at `address`, or in INIT
// mode at 00h, 9600 baud without checksum.  Nothing when it does not
// answer, after saying why with `status` set.
std::optional<Reach> reachModule(ComLine &com, const LineOptions &opt, int address, bool init, Exit &status)
{
    LineOptions probe = opt;
    if (init) {
        probe.baud = INIT_BAUD;
        probe.checksum = 0;
    }
    std::string error;
    bool garbled = false;
    auto at = find(com, probe, address, error, &garbled);
    if (!error.empty()) {
        status = refuse(error, EXIT_LINE);
        return std::nullopt;
    }
    if (at)
        return at;
    if (garbled)
        status = refuse(duplicateAdvice(address), EXIT_NO_ANSWER);
    else if (init)
        status = refuse("nothing answers at 00h at 9600 baud: wire INIT to ground, power the module up, and check "
                        "that no other module is powered on the line with INIT grounded",
                        EXIT_NO_ANSWER);
    else
        status = refuse("nothing answers at " + wire::hex2(static_cast<unsigned>(address)) + "h (tried " +
                            (opt.baud > 0 ? std::to_string(opt.baud) : std::string("1200 to 115200 baud")) +
                            ", with and without checksum)",
                        EXIT_NO_ANSWER);
    return std::nullopt;
}

// A module's configuration as it is and as it is to be.
struct Change {
    Configuration now;
    std::string name;   // as the module tells it ("" when it does not)
    int oldAddress = 0; // the address it is configured for
    int newAddress = 0;
    unsigned newType = 0, newCode = 0, newFormat = 0;
    std::string newName;

    bool configuration() const
    {
        return newAddress != oldAddress || newType != now.type || newCode != now.baudCode || newFormat != now.format;
    }
    bool renames(const Wanted &w) const { return !w.name.empty() && w.name != name; }
};

Change changeOf(const Configuration &cfg, const std::string &name, int address, const Wanted &w, bool init)
{
    Change c;
    c.now = cfg;
    c.name = name;
    c.oldAddress = init ? cfg.address : address;
    c.newAddress = w.address >= 0 ? w.address : c.oldAddress;
    c.newType = w.type >= 0 ? static_cast<unsigned>(w.type) : cfg.type;
    c.newCode = w.baud > 0 ? static_cast<unsigned>(wire::baudCode(w.baud)) : cfg.baudCode;
    c.newFormat = cfg.format;
    if (w.checksum >= 0)
        c.newFormat = w.checksum ? (c.newFormat | FORMAT_CHECKSUM) : (c.newFormat & ~FORMAT_CHECKSUM);
    if (w.hex >= 0)
        c.newFormat = (c.newFormat & ~FORMAT_FORM) | (w.hex ? FORMAT_HEX : 0u);
    c.newName = w.name.empty() ? name : w.name;
    return c;
}

// The old and the new configuration side by side.
void showChange(const Change &c)
{
    printf("%-9s %-8s %-8s\n", "", "now", "new");
    auto row = [](const char *what, const std::string &now, const std::string &then) {
        printf("%-9s %-8s %-8s%s\n", what, now.c_str(), then.c_str(), now == then ? "" : "  (changes)");
    };
    const Configuration &cfg = c.now;
    row("address", wire::hex2(static_cast<unsigned>(c.oldAddress)) + "h",
        wire::hex2(static_cast<unsigned>(c.newAddress)) + "h");
    row("name", c.name.empty() ? "?" : c.name, c.newName.empty() ? "?" : c.newName);
    row("type", wire::hex2(cfg.type), wire::hex2(c.newType));
    row("speed", speedText(cfg.baudCode), speedText(c.newCode));
    row("checksum", cfg.format & FORMAT_CHECKSUM ? "on" : "off", c.newFormat & FORMAT_CHECKSUM ? "on" : "off");
    row("format", formatText(cfg.format, cfg.type, c.name), formatText(c.newFormat, c.newType, c.name));
}

// What the module would refuse, and a new address another module already
// answers at; the status when the change is refused.  The line is left open
// at the module's speed.
std::optional<Exit> refusal(ComLine &com, const LineOptions &opt, const Reach &at, const Change &c, const Wanted &w,
                            bool init)
{
    const bool speedChange = c.newCode != c.now.baudCode || ((c.newFormat ^ c.now.format) & FORMAT_CHECKSUM) != 0;
    if (speedChange && !init)
        return refuse("a speed or checksum change is taken only in INIT mode: wire INIT to ground, power the "
                      "module up, run again with --init",
                      EXIT_USAGE);
    if (w.hex == 1 && c.now.type == DIGITAL_TYPE)
        return refuse("the hex format is for the analog input modules (7017, 7018); a digital module (type 40) "
                      "keeps format 00",
                      EXIT_USAGE);
    if (c.newAddress == c.oldAddress)
        return std::nullopt;
    LineOptions other = opt;
    other.baud = 0;
    other.checksum = -1;
    bool otherGarbled = false;
    std::string error;
    auto taken = find(com, other, c.newAddress, error, &otherGarbled);
    if (!error.empty())
        return refuse(error, EXIT_LINE);
    if (taken || otherGarbled)
        return refuse("another module already answers at " + wire::hex2(static_cast<unsigned>(c.newAddress)) +
                          "h (at " + (taken ? std::to_string(taken->baud) + " baud" : std::string("garbled")) +
                          "); give it another address first, or choose a free one",
                      EXIT_USAGE);
    if (!com.open(at.baud, error))
        return refuse(error, EXIT_LINE);
    return std::nullopt;
}

// Writes the configuration (%AANNTTCCFF) and the name (~AAO(name)) where
// they change; the status when the module refuses either.  `now` is where
// the module answers afterwards.
std::optional<Exit> writeChange(ComLine &com, const LineOptions &opt, const Reach &at, const Reach &now,
                                const Change &c, const Wanted &w)
{
    std::string body;
    if (c.configuration()) {
        const std::string cmd = "%" + wire::hex2(static_cast<unsigned>(at.address)) +
                                wire::hex2(static_cast<unsigned>(c.newAddress)) + wire::hex2(c.newType) +
                                wire::hex2(c.newCode) + wire::hex2(c.newFormat);
        Heard h = ask(com, at, cmd, opt.timeoutMs, body);
        if (h != Heard::Reply || body != "!" + wire::hex2(static_cast<unsigned>(c.newAddress))) {
            fprintf(stderr, "veldran-host: configure: %sh answered %s to %s: the module refused the configuration\n",
                    wire::hex2(static_cast<unsigned>(at.address)).c_str(),
                    h == Heard::Reply ? wire::escape(body).c_str() : "nothing", cmd.c_str());
            return EXIT_USAGE;
        }
        printf("written: %s\n", cmd.c_str());
    }
    if (c.renames(w)) {
        const std::string cmd = "~" + wire::hex2(static_cast<unsigned>(now.address)) + "O(" + w.name + ")";
        if (ask(com, now, cmd, opt.timeoutMs, body) != Heard::Reply ||
            body != "!" + wire::hex2(static_cast<unsigned>(now.address))) {
            fprintf(stderr, "veldran-host: configure: the module refused the name %s\n", w.name.c_str());
            return EXIT_USAGE;
        }
        printf("written: %s\n", cmd.c_str());
    }
    return std::nullopt;
}

// Reads the configuration back at `now` and compares it with what was
// written.
Exit verifyChange(ComLine &com, const LineOptions &opt, const Reach &now, const Change &c, bool init)
{
    auto back = readConfiguration(com, now, opt.timeoutMs);
    const std::string backName = readText(com, now, 'M', opt.timeoutMs);
    if (!back || back->type != c.newType || back->baudCode != c.newCode || back->format != c.newFormat ||
        (!c.newName.empty() && backName != c.newName) || (init && back->address != c.newAddress)) {
        fprintf(stderr, "veldran-host: configure: read back at %sh, the module does not have what was written\n",
                wire::hex2(static_cast<unsigned>(now.address)).c_str());
        return EXIT_LINE;
    }
    printf("verified: read back at %sh\n", wire::hex2(static_cast<unsigned>(now.address)).c_str());
    if (init)
        printf("the module answers at 00h until its INIT wire is taken off ground and it is powered up again; "
               "then at %sh, %s baud, checksum %s\n",
               wire::hex2(static_cast<unsigned>(c.newAddress)).c_str(), speedText(c.newCode).c_str(),
               c.newFormat & FORMAT_CHECKSUM ? "on" : "off");
    return EXIT_OK;
}

} // namespace

Exit configureCommand(const LineOptions &opt, int address, const ConfigureOptions &o)
{
    if (address < 0)
        return refuse("the address is 0 to 255 (decimal, 0x.. or ..h)", EXIT_USAGE);
    Wanted w;
    std::string error;
    if (!parseWanted(o, w, error))
        return refuse(error, EXIT_USAGE);

    ComLine com(opt.port);
    if (o.init)
        address = INIT_ADDRESS;
    Exit status = EXIT_OK;
    auto at = reachModule(com, opt, address, o.init, status);
    if (!at)
        return status;
    auto cfg = readConfiguration(com, *at, opt.timeoutMs);
    const std::string name = readText(com, *at, 'M', opt.timeoutMs);
    if (!cfg)
        return refuse("the module at " + wire::hex2(static_cast<unsigned>(address)) + "h answered once, then not",
                      EXIT_NO_ANSWER);

    const Change c = changeOf(*cfg, name, address, w, o.init);
    showChange(c);
    if (auto refused = refusal(com, opt, *at, c, w, o.init))
        return *refused;
    // The new address at once; in INIT mode the module still answers at 00.
    Reach now = *at;
    if (!o.init)
        now.address = c.newAddress;
    if (auto refused = writeChange(com, opt, *at, now, c, w))
        return *refused;
    if (!c.configuration() && !c.renames(w)) {
        printf("nothing to change\n");
        return EXIT_OK;
    }
    return verifyChange(com, opt, now, c, o.init);
}

namespace {

// One raw exchange, reported as `> command`, `< reply` and its times.
void rawExchange(ComLine &com, const LineOptions &opt, const std::string &text, bool addChecksum)
{
    const std::string line = addChecksum ? text + wire::checksum(text) : text;
    Reply r = com.exchange(line, opt.timeoutMs);
    printf("> %s\\r\n", wire::escape(line).c_str());
    if (r.bytes.empty()) {
        printf("< (nothing in %d ms)\n", opt.timeoutMs);
        return;
    }
    printf("< %s", wire::escape(r.bytes).c_str());
    if (r.complete)
        printf("   first byte %.1f ms, CR %.1f ms\n", r.firstMs, r.crMs);
    else
        printf("   first byte %.1f ms, no CR within %d ms of the last byte\n", r.firstMs, opt.timeoutMs);
    // As the serial adapter handed them over: a USB adapter's latency timer
    // shows as bursts some 16 ms apart.
    const std::string bursts = burstsText(burstsOf(r.arrivals, com.baud()));
    if (!bursts.empty())
        printf("  %s\n", bursts.c_str());
}

LineOptions rawDefaults(LineOptions opt)
{
    if (opt.baud <= 0)
        opt.baud = INIT_BAUD;
    return opt;
}

// The line of send and term, open at its speed; false after saying why.
bool openRaw(ComLine &com, const LineOptions &line, const char *command)
{
    std::string error;
    if (com.open(line.baud, error))
        return true;
    fprintf(stderr, "veldran-host: %s: %s\n", command, error.c_str());
    return false;
}

} // namespace

Exit sendCommand(const LineOptions &opt, const std::vector<std::string> &lines, bool addChecksum)
{
    const LineOptions line = rawDefaults(opt);
    ComLine com(line.port);
    if (!openRaw(com, line, "send"))
        return EXIT_LINE;
    for (const auto &l : lines)
        rawExchange(com, line, l, addChecksum);
    return EXIT_OK;
}

Exit termCommand(const LineOptions &opt, bool addChecksum)
{
    const LineOptions line = rawDefaults(opt);
    ComLine com(line.port);
    if (!openRaw(com, line, "term"))
        return EXIT_LINE;
    printf("term: COM%d at %d baud%s; a command a line (\"history\", \"!N\" repeats line N, \"quit\")\n", line.port,
           line.baud, addChecksum ? ", checksums added" : "");
    std::vector<std::string> history;
    for (std::string text;;) {
        printf("term> ");
        fflush(stdout);
        if (!std::getline(std::cin, text))
            break;
        while (!text.empty() && (text.back() == '\r' || text.back() == '\n'))
            text.pop_back();
        if (text.empty())
            continue;
        if (text == "quit")
            break;
        if (text == "history") {
            for (size_t i = 0; i < history.size(); ++i)
                printf("%3zu  %s\n", i + 1, history[i].c_str());
            continue;
        }
        if (text[0] == '!' && text.size() > 1) {
            char *end = nullptr;
            const unsigned long n = std::strtoul(text.c_str() + 1, &end, 10);
            if (end && *end == '\0') {
                if (n < 1 || n > history.size()) {
                    printf("no line %s in the history\n", text.c_str() + 1);
                    continue;
                }
                text = history[n - 1];
            }
        }
        history.push_back(text);
        rawExchange(com, line, text, addChecksum);
    }
    printf("\n");
    return EXIT_OK;
}

// ---------------------------------------------------------------------------
// The command line.

namespace {

// The speeds the modules can be configured for, in bit/s.
const std::vector<int> LINE_SPEEDS = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

void addSpeedOption(CLI::App *cmd, int &baud, const char *help)
{
    cmd->add_option("--baud", baud, help)->check(CLI::IsMember(LINE_SPEEDS));
}

void addReplyTimeoutOption(CLI::App *cmd, int &timeoutMs)
{
    cmd->add_option("--timeout", timeoutMs, "ms to wait for a reply's next byte")
        ->check(CLI::Range(5, 5000))
        ->capture_default_str();
}

// The options send and term share.
void addRawOptions(CLI::App *cmd, RawArgs &a)
{
    addPortOption(cmd, a.line.port);
    addSpeedOption(cmd, a.line.baud, "the line's speed in bit/s (default 9600)");
    cmd->add_flag("--checksum", a.checksum, "add the checksum to each line");
    addReplyTimeoutOption(cmd, a.line.timeoutMs);
}

} // namespace

void addPortOption(CLI::App *cmd, int &port)
{
    cmd->add_option("--port", port, "COM port 1 to 4")
        ->check(CLI::Range(wire::PORT_MIN, wire::PORT_MAX))
        ->capture_default_str();
}

CLI::App *addIdentifyCommand(CLI::App &app, IdentifyArgs &a)
{
    CLI::App *cmd = app.add_subcommand(
        "identify", "name, firmware, type, speed, checksum and format of modules, through the serial library");
    cmd->add_option("addresses", a.addresses, "module addresses (decimal, 0x.. or ..h; none: survey first)");
    cmd->add_option("--from", a.from, "first address of a range")->check(CLI::Range(0, 255));
    cmd->add_option("--to", a.to, "last address of a range")->check(CLI::Range(0, 255));
    addPortOption(cmd, a.line.port);
    addSpeedOption(cmd, a.line.baud, "the line's speed in bit/s (default: try each)");
    cmd->add_option("--checksum", a.checksum, "the checksum setting to use: off or on (default: try both)")
        ->check(CLI::IsMember({"off", "on"}));
    addReplyTimeoutOption(cmd, a.line.timeoutMs);
    return cmd;
}

Exit runIdentify(const IdentifyArgs &a)
{
    LineOptions line = a.line;
    if (!a.checksum.empty())
        line.checksum = a.checksum == "on" ? 1 : 0;
    std::vector<int> all;
    for (const auto &text : a.addresses) {
        const int n = parseAddress(text);
        if (n < 0) {
            fprintf(stderr, "veldran-host: identify: %s is no address (0 to 255: decimal, 0x.. or ..h)\n",
                    text.c_str());
            return EXIT_USAGE;
        }
        all.push_back(n);
    }
    if ((a.from >= 0) != (a.to >= 0) || a.from > a.to) {
        fprintf(stderr, "veldran-host: identify: give --from and --to together, --from not above --to\n");
        return EXIT_USAGE;
    }
    for (int n = a.from; a.from >= 0 && n <= a.to; ++n)
        all.push_back(n);
    return identifyCommand(line, all);
}

CLI::App *addConfigureCommand(CLI::App &app, ConfigureArgs &a)
{
    CLI::App *cmd = app.add_subcommand("configure", "read, change, write and verify a module's configuration");
    ConfigureOptions &c = a.change;
    cmd->add_option("address", a.address, "the module's address now (decimal, 0x.. or ..h)")->required();
    cmd->add_option("--address", c.address, "new address, 0 to 255");
    cmd->add_option("--baud", c.baud, "new speed in bit/s (INIT mode only)");
    cmd->add_option("--checksum", c.checksum, "on or off (INIT mode only)");
    cmd->add_option("--format", c.format, "decimal or hex (analog inputs)");
    cmd->add_option("--type", c.type, "type code, two hex digits");
    cmd->add_option("--name", c.name, "the module's name, up to 6 characters");
    cmd->add_flag("--init", c.init, "the module is in INIT mode: talk to 00h at 9600 baud without checksum");
    addPortOption(cmd, a.line.port);
    addReplyTimeoutOption(cmd, a.line.timeoutMs);
    return cmd;
}

Exit runConfigure(const ConfigureArgs &a)
{
    // In INIT mode the module answers at 00h whatever address is given.
    const int address = parseAddress(a.address);
    if (address < 0 && !a.change.init) {
        fprintf(stderr, "veldran-host: configure: %s is no address (0 to 255: decimal, 0x.. or ..h); nothing written\n",
                a.address.c_str());
        return EXIT_USAGE;
    }
    return configureCommand(a.line, address < 0 ? 0 : address, a.change);
}

CLI::App *addSendCommand(CLI::App &app, RawArgs &a)
{
    CLI::App *cmd = app.add_subcommand("send", "send raw command lines, show the replies' bytes and times");
    cmd->add_option("lines", a.lines, "command lines, without the carriage return")->required();
    addRawOptions(cmd, a);
    return cmd;
}

Exit runSend(const RawArgs &a) { return sendCommand(a.line, a.lines, a.checksum); }

CLI::App *addTermCommand(CLI::App &app, RawArgs &a)
{
    CLI::App *cmd = app.add_subcommand("term", "a raw terminal on the line: command lines from the keyboard");
    addRawOptions(cmd, a);
    return cmd;
}

Exit runTerm(const RawArgs &a) { return termCommand(a.line, a.checksum); }

} // namespace vhost
