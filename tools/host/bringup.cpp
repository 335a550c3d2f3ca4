#include "bringup.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>

#include <CLI/CLI.hpp>

#include "comm.h"
#include "platform.h"
#include "settings.h"
#include "wire.h"
#include "wire_format.h"

namespace vhost {

namespace {

enum Exit { EXIT_OK = 0, EXIT_USAGE = 1, EXIT_LINE = 2 };

// Speeds tried when a module's is not known: the usual ones first.
const int PROBE_RATES[] = {9600, 19200, 38400, 57600, 115200, 4800, 2400, 1200};
constexpr int INIT_BAUD = 9600;
constexpr int INIT_ADDRESS = 0;
constexpr size_t MAX_NAME = 6;
constexpr unsigned FORMAT_CHECKSUM = 0x40;
constexpr unsigned FORMAT_HEX = 0x02;
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
            for (int32_t i = 0; i < n; ++i) {
                const char c = static_cast<char>(_COMgetc(port_) & 0xFF);
                if (r.bytes.empty())
                    r.firstMs = msSince(end);
                r.bytes += c;
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
    if ((format & 0x03) == FORMAT_HEX)
        return "hex";
    if ((format & 0x03) != 0)
        return "code " + std::to_string(format & 0x03);
    return name == "7017" || name == "7018" || type != DIGITAL_TYPE ? "decimal" : "-";
}

std::string speedText(unsigned code)
{
    const int r = wire::baudOfCode(static_cast<int>(code));
    return r > 0 ? std::to_string(r) : "code " + wire::hex2(code);
}

std::string duplicateAdvice(int address)
{
    const std::string aa = wire::hex2(static_cast<unsigned>(address));
    return "replies at " + aa + "h come garbled while the rest of the line is clean: more than one module at " + aa +
           "h? Power the modules at " + aa +
           "h one at a time (or wire INIT to ground on one and power it up), give each its own address with "
           "`configure`, then survey again";
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

int identifyCommand(const LineOptions &opt, const std::vector<int> &addresses)
{
    ComLine com(opt.port);
    std::string error;
    printf("%-5s %-7s %-9s %-4s %-7s %-8s %-8s %s\n", "addr", "name", "firmware", "type", "speed", "checksum", "format",
           "answered at");
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
        auto cfg = readConfiguration(com, *at, opt.timeoutMs);
        const std::string name = readText(com, *at, 'M', opt.timeoutMs);
        const std::string firmware = readText(com, *at, 'F', opt.timeoutMs);
        if (!cfg) {
            ++missing;
            printf("%-5s %s\n", aa.c_str(), "answered once, then not");
            continue;
        }
        const std::string where = std::to_string(at->baud) + (at->checksum ? " checksum" : " no checksum");
        printf("%-5s %-7s %-9s %-4s %-7s %-8s %-8s %s\n", aa.c_str(), name.empty() ? "?" : name.c_str(),
               firmware.empty() ? "?" : firmware.c_str(), wire::hex2(cfg->type).c_str(),
               speedText(cfg->baudCode).c_str(), cfg->format & FORMAT_CHECKSUM ? "on" : "off",
               formatText(cfg->format, cfg->type, name).c_str(), where.c_str());
        if (a == INIT_ADDRESS && cfg->address != INIT_ADDRESS)
            printf("      the module at 00h says its address is %sh: it is in INIT mode\n",
                   wire::hex2(static_cast<unsigned>(cfg->address)).c_str());
    }
    return missing ? EXIT_USAGE : EXIT_OK;
}

int configureCommand(const LineOptions &opt, int address, const ConfigureOptions &o)
{
    auto fail = [](const std::string &why, int rc) {
        fprintf(stderr, "veldran-host: configure: %s; nothing written\n", why.c_str());
        return rc;
    };
    if (address < 0)
        return fail("the address is 0 to 255 (decimal, 0x.. or ..h)", EXIT_USAGE);
    Wanted w;
    std::string error;
    if (!parseWanted(o, w, error))
        return fail(error, EXIT_USAGE);

    ComLine com(opt.port);
    LineOptions probe = opt;
    if (o.init) {
        address = INIT_ADDRESS;
        probe.baud = INIT_BAUD;
        probe.checksum = 0;
    }
    const std::string aa = wire::hex2(static_cast<unsigned>(address)) + "h";
    bool garbled = false;
    auto at = find(com, probe, address, error, &garbled);
    if (!error.empty())
        return fail(error, EXIT_LINE);
    if (!at) {
        if (garbled)
            return fail(duplicateAdvice(address), EXIT_USAGE);
        if (o.init)
            return fail("nothing answers at 00h at 9600 baud: wire INIT to ground, power the module up, and check "
                        "that no other module is powered on the line with INIT grounded",
                        EXIT_USAGE);
        return fail("nothing answers at " + aa + " (tried " +
                        (opt.baud > 0 ? std::to_string(opt.baud) : std::string("1200 to 115200 baud")) +
                        ", with and without checksum)",
                    EXIT_USAGE);
    }
    auto cfg = readConfiguration(com, *at, opt.timeoutMs);
    const std::string name = readText(com, *at, 'M', opt.timeoutMs);
    if (!cfg)
        return fail("the module at " + aa + " answered once, then not", EXIT_USAGE);

    // The old and the new configuration.
    const int oldAddress = o.init ? cfg->address : address;
    const int newAddress = w.address >= 0 ? w.address : oldAddress;
    const unsigned newType = w.type >= 0 ? static_cast<unsigned>(w.type) : cfg->type;
    const unsigned newCode = w.baud > 0 ? static_cast<unsigned>(wire::baudCode(w.baud)) : cfg->baudCode;
    unsigned newFormat = cfg->format;
    if (w.checksum >= 0)
        newFormat = w.checksum ? (newFormat | FORMAT_CHECKSUM) : (newFormat & ~FORMAT_CHECKSUM);
    if (w.hex >= 0)
        newFormat = (newFormat & ~0x03u) | (w.hex ? FORMAT_HEX : 0u);
    const std::string newName = w.name.empty() ? name : w.name;

    printf("%-9s %-8s %-8s\n", "", "now", "new");
    auto row = [](const char *what, const std::string &now, const std::string &then) {
        printf("%-9s %-8s %-8s%s\n", what, now.c_str(), then.c_str(), now == then ? "" : "  (changes)");
    };
    row("address", wire::hex2(static_cast<unsigned>(oldAddress)) + "h",
        wire::hex2(static_cast<unsigned>(newAddress)) + "h");
    row("name", name.empty() ? "?" : name, newName.empty() ? "?" : newName);
    row("type", wire::hex2(cfg->type), wire::hex2(newType));
    row("speed", speedText(cfg->baudCode), speedText(newCode));
    row("checksum", cfg->format & FORMAT_CHECKSUM ? "on" : "off", newFormat & FORMAT_CHECKSUM ? "on" : "off");
    row("format", formatText(cfg->format, cfg->type, name), formatText(newFormat, newType, name));

    // What the module would refuse.
    const bool speedChange = newCode != cfg->baudCode || ((newFormat ^ cfg->format) & FORMAT_CHECKSUM) != 0;
    if (speedChange && !o.init)
        return fail("a speed or checksum change is taken only in INIT mode: wire INIT to ground, power the module "
                    "up, run again with --init",
                    EXIT_USAGE);
    if (w.hex == 1 && cfg->type == DIGITAL_TYPE)
        return fail("the hex format is for the analog input modules (7017, 7018); a digital module (type 40) keeps "
                    "format 00",
                    EXIT_USAGE);
    if (newAddress != oldAddress) {
        LineOptions other = opt;
        other.baud = 0;
        other.checksum = -1;
        bool otherGarbled = false;
        auto taken = find(com, other, newAddress, error, &otherGarbled);
        if (!error.empty())
            return fail(error, EXIT_LINE);
        if (taken || otherGarbled)
            return fail("another module already answers at " + wire::hex2(static_cast<unsigned>(newAddress)) +
                            "h (at " + (taken ? std::to_string(taken->baud) + " baud" : std::string("garbled")) +
                            "); give it another address first, or choose a free one",
                        EXIT_USAGE);
        if (!com.open(at->baud, error))
            return fail(error, EXIT_LINE);
    }

    const bool configChange =
        newAddress != oldAddress || newType != cfg->type || newCode != cfg->baudCode || newFormat != cfg->format;
    std::string body;
    if (configChange) {
        const std::string cmd = "%" + wire::hex2(static_cast<unsigned>(address)) +
                                wire::hex2(static_cast<unsigned>(newAddress)) + wire::hex2(newType) +
                                wire::hex2(newCode) + wire::hex2(newFormat);
        Heard h = ask(com, *at, cmd, opt.timeoutMs, body);
        if (h != Heard::Reply || body != "!" + wire::hex2(static_cast<unsigned>(newAddress))) {
            fprintf(stderr, "veldran-host: configure: %s answered %s to %s: the module refused the configuration\n",
                    aa.c_str(), h == Heard::Reply ? wire::escape(body).c_str() : "nothing", cmd.c_str());
            return EXIT_USAGE;
        }
        printf("written: %s\n", cmd.c_str());
    }
    // The new address at once; in INIT mode the module still answers at 00.
    Reach now = *at;
    if (!o.init)
        now.address = newAddress;
    if (!w.name.empty() && w.name != name) {
        const std::string cmd = "~" + wire::hex2(static_cast<unsigned>(now.address)) + "O(" + w.name + ")";
        if (ask(com, now, cmd, opt.timeoutMs, body) != Heard::Reply ||
            body != "!" + wire::hex2(static_cast<unsigned>(now.address))) {
            fprintf(stderr, "veldran-host: configure: the module refused the name %s\n", w.name.c_str());
            return EXIT_USAGE;
        }
        printf("written: %s\n", cmd.c_str());
    }
    if (!configChange && (w.name.empty() || w.name == name)) {
        printf("nothing to change\n");
        return EXIT_OK;
    }

    // Read back.
    auto back = readConfiguration(com, now, opt.timeoutMs);
    const std::string backName = readText(com, now, 'M', opt.timeoutMs);
    if (!back || back->type != newType || back->baudCode != newCode || back->format != newFormat ||
        (!newName.empty() && backName != newName) || (o.init && back->address != newAddress)) {
        fprintf(stderr, "veldran-host: configure: read back at %sh, the module does not have what was written\n",
                wire::hex2(static_cast<unsigned>(now.address)).c_str());
        return EXIT_LINE;
    }
    printf("verified: read back at %sh\n", wire::hex2(static_cast<unsigned>(now.address)).c_str());
    if (o.init)
        printf("the module answers at 00h until its INIT wire is taken off ground and it is powered up again; "
               "then at %sh, %s baud, checksum %s\n",
               wire::hex2(static_cast<unsigned>(newAddress)).c_str(), speedText(newCode).c_str(),
               newFormat & FORMAT_CHECKSUM ? "on" : "off");
    return EXIT_OK;
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

int sendCommand(const LineOptions &opt, const std::vector<std::string> &lines, bool addChecksum)
{
    const LineOptions line = rawDefaults(opt);
    ComLine com(line.port);
    if (!openRaw(com, line, "send"))
        return EXIT_LINE;
    for (const auto &l : lines)
        rawExchange(com, line, l, addChecksum);
    return EXIT_OK;
}

int termCommand(const LineOptions &opt, bool addChecksum)
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

namespace {

void lineOptions(CLI::App *cmd, LineOptions &line, std::string &sum)
{
    cmd->add_option("--port", line.port, "COM port 1 to 4")->check(CLI::Range(1, 4))->capture_default_str();
    cmd->add_option("--baud", line.baud, "the line's speed in bit/s (default: try each)")
        ->check(CLI::IsMember({1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200}));
    cmd->add_option("--checksum", sum, "the checksum setting to use: off or on (default: try both)")
        ->check(CLI::IsMember({"off", "on"}));
    cmd->add_option("--timeout", line.timeoutMs, "ms to wait for a reply's next byte")
        ->check(CLI::Range(5, 5000))
        ->capture_default_str();
}

std::string identifySum, configureSum;

} // namespace

BringupCommands::BringupCommands(CLI::App &app)
{
    identify_ = app.add_subcommand(
        "identify", "name, firmware, type, speed, checksum and format of modules, through the serial library");
    identify_->add_option("addresses", addresses_, "module addresses (decimal, 0x.. or ..h)");
    identify_->add_option("--from", from_, "first address of a range")->check(CLI::Range(0, 255));
    identify_->add_option("--to", to_, "last address of a range")->check(CLI::Range(0, 255));
    lineOptions(identify_, identifyLine_, identifySum);

    configure_ = app.add_subcommand("configure", "read, change, write and verify a module's configuration");
    configure_->add_option("address", address_, "the module's address now (decimal, 0x.. or ..h)")->required();
    configure_->add_option("--address", configureOptions_.address, "new address, 0 to 255");
    configure_->add_option("--baud", configureOptions_.baud, "new speed in bit/s (INIT mode only)");
    configure_->add_option("--checksum", configureOptions_.checksum, "on or off (INIT mode only)");
    configure_->add_option("--format", configureOptions_.format, "decimal or hex (analog inputs)");
    configure_->add_option("--type", configureOptions_.type, "type code, two hex digits");
    configure_->add_option("--name", configureOptions_.name, "the module's name, up to 6 characters");
    configure_->add_flag("--init", configureOptions_.init,
                         "the module is in INIT mode: talk to 00h at 9600 baud without checksum");
    configure_->add_option("--port", configureLine_.port, "COM port 1 to 4")
        ->check(CLI::Range(1, 4))
        ->capture_default_str();
    configure_->add_option("--timeout", configureLine_.timeoutMs, "ms to wait for a reply's next byte")
        ->check(CLI::Range(5, 5000))
        ->capture_default_str();

    send_ = app.add_subcommand("send", "send raw command lines, show the replies' bytes and times");
    send_->add_option("lines", rawLines_, "command lines, without the carriage return")->required();
    term_ = app.add_subcommand("term", "a raw terminal on the line: command lines from the keyboard");
    for (CLI::App *raw : {send_, term_}) {
        raw->add_option("--port", rawLine_.port, "COM port 1 to 4")->check(CLI::Range(1, 4))->capture_default_str();
        raw->add_option("--baud", rawLine_.baud, "the line's speed in bit/s (default 9600)")
            ->check(CLI::IsMember({1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200}));
        raw->add_flag("--checksum", rawChecksum_, "add the checksum to each line");
        raw->add_option("--timeout", rawLine_.timeoutMs, "ms to wait for a reply's next byte")
            ->check(CLI::Range(5, 5000))
            ->capture_default_str();
    }
}

std::optional<int> BringupCommands::run() const
{
    if (*identify_) {
        LineOptions line = identifyLine_;
        if (!identifySum.empty())
            line.checksum = identifySum == "on" ? 1 : 0;
        std::vector<int> all;
        for (const auto &a : addresses_) {
            const int n = parseAddress(a);
            if (n < 0) {
                fprintf(stderr, "veldran-host: identify: %s is no address (0 to 255: decimal, 0x.. or ..h)\n",
                        a.c_str());
                return EXIT_USAGE;
            }
            all.push_back(n);
        }
        if ((from_ >= 0) != (to_ >= 0) || from_ > to_) {
            fprintf(stderr, "veldran-host: identify: give --from and --to together, --from not above --to\n");
            return EXIT_USAGE;
        }
        for (int a = from_; from_ >= 0 && a <= to_; ++a)
            all.push_back(a);
        if (all.empty()) {
            fprintf(stderr, "veldran-host: identify: which modules? Give their addresses, or --from and --to "
                            "(`survey` finds the addresses that answer)\n");
            return EXIT_USAGE;
        }
        return identifyCommand(line, all);
    }
    if (*configure_) {
        const int a = parseAddress(address_);
        if (a < 0 && !configureOptions_.init) {
            fprintf(stderr,
                    "veldran-host: configure: %s is no address (0 to 255: decimal, 0x.. or ..h); nothing "
                    "written\n",
                    address_.c_str());
            return EXIT_USAGE;
        }
        return configureCommand(configureLine_, a < 0 ? 0 : a, configureOptions_);
    }
    if (*send_)
        return sendCommand(rawLine_, rawLines_, rawChecksum_);
    if (*term_)
        return termCommand(rawLine_, rawChecksum_);
    return std::nullopt;
}

} // namespace vhost
