// configure: a module's configuration read through the line client, the
// change the options ask for checked against what the module would refuse
// (a speed or checksum change outside INIT mode, an address another module
// answers at), written (%AANNTTCCFF, ~AAO(name)) and read back; in INIT
// mode, the module reached at 00h at its INIT speed and told what it will
// answer at once INIT is off.
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "bringup.h"
#include "identify.h"
#include "survey.h"

namespace vhost {

namespace {

constexpr size_t MAX_NAME = 6;
using wire::FORMAT_CHECKSUM;
using wire::FORMAT_FORM;
using wire::FORMAT_HEX;

// "1200 to 115200 baud": every speed the modules run at.
std::string allSpeeds()
{
    const std::vector<int> speeds = wire::lineSpeeds();
    return std::to_string(speeds.front()) + " to " + std::to_string(speeds.back()) + " baud";
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
            error = "--baud " + o.baud + ": the modules take " + wire::speedsText(wire::lineSpeeds(), "or");
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

// Refuses a configuration: says why; nothing is written.
Exit refuse(const std::string &why, Exit status)
{
    fprintf(stderr, "veldran-host: configure: %s; nothing written\n", why.c_str());
    return status;
}

// The module to configure and how it is reached: at `address`, or in INIT
// mode at 00h at the INIT speed without checksum.  Nothing when it does not
// answer, after saying why with `status` set.
std::optional<Reach> reachModule(LineClient &line, const LineOptions &opt, int address, bool init, Exit &status)
{
    LineOptions probe = opt;
    if (init) {
        probe.baud = wire::INIT_BAUD;
        probe.checksum = 0;
    }
    std::string error;
    bool garbled = false;
    auto at = findModule(line, probe, address, error, &garbled);
    if (!error.empty()) {
        status = refuse(error, EXIT_LINE);
        return std::nullopt;
    }
    if (at)
        return at;
    if (garbled)
        status = refuse(duplicateAdvice(address), EXIT_NO_ANSWER);
    else if (init)
        status = refuse("nothing answers at 00h at " + std::to_string(wire::INIT_BAUD) +
                            " baud: wire INIT to ground, power the module up, and check that no other module is "
                            "powered on the line with INIT grounded",
                        EXIT_NO_ANSWER);
    else
        status = refuse("nothing answers at " + wire::hex2(static_cast<unsigned>(address)) + "h (tried " +
                            (opt.baud > 0 ? std::to_string(opt.baud) : allSpeeds()) + ", with and without checksum)",
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
std::optional<Exit> refusal(LineClient &line, const LineOptions &opt, const Reach &at, const Change &c, const Wanted &w,
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
    auto taken = findModule(line, other, c.newAddress, error, &otherGarbled);
    if (!error.empty())
        return refuse(error, EXIT_LINE);
    if (taken || otherGarbled)
        return refuse("another module already answers at " + wire::hex2(static_cast<unsigned>(c.newAddress)) +
                          "h (at " + (taken ? std::to_string(taken->baud) + " baud" : std::string("garbled")) +
                          "); give it another address first, or choose a free one",
                      EXIT_USAGE);
    if (!line.open(at.baud, error))
        return refuse(error, EXIT_LINE);
    return std::nullopt;
}

// Writes the configuration (%AANNTTCCFF) and the name (~AAO(name)) where
// they change; the status when the module refuses either.  `now` is where
// the module answers afterwards.
std::optional<Exit> writeChange(LineClient &line, const LineOptions &opt, const Reach &at, const Reach &now,
                                const Change &c, const Wanted &w)
{
    std::string body;
    if (c.configuration()) {
        const std::string cmd = "%" + wire::hex2(static_cast<unsigned>(at.address)) +
                                wire::hex2(static_cast<unsigned>(c.newAddress)) + wire::hex2(c.newType) +
                                wire::hex2(c.newCode) + wire::hex2(c.newFormat);
        Heard h = line.ask(at, cmd, opt.timeoutMs, body);
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
        if (line.ask(now, cmd, opt.timeoutMs, body) != Heard::Reply ||
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
Exit verifyChange(LineClient &line, const LineOptions &opt, const Reach &now, const Change &c, bool init)
{
    auto back = readConfiguration(line, now, opt.timeoutMs);
    const std::string backName = readText(line, now, 'M', opt.timeoutMs);
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

    LineClient line(opt.port);
    if (o.init)
        address = INIT_ADDRESS;
    Exit status = EXIT_OK;
    auto at = reachModule(line, opt, address, o.init, status);
    if (!at)
        return status;
    auto cfg = readConfiguration(line, *at, opt.timeoutMs);
    const std::string name = readText(line, *at, 'M', opt.timeoutMs);
    if (!cfg)
        return refuse("the module at " + wire::hex2(static_cast<unsigned>(address)) + "h answered once, then not",
                      EXIT_NO_ANSWER);

    const Change c = changeOf(*cfg, name, address, w, o.init);
    showChange(c);
    if (auto refused = refusal(line, opt, *at, c, w, o.init))
        return *refused;
    // The new address at once; in INIT mode the module still answers at 00.
    Reach now = *at;
    if (!o.init)
        now.address = c.newAddress;
    if (auto refused = writeChange(line, opt, *at, now, c, w))
        return *refused;
    if (!c.configuration() && !c.renames(w)) {
        printf("nothing to change\n");
        return EXIT_OK;
    }
    return verifyChange(line, opt, now, c, o.init);
}

} // namespace vhost
