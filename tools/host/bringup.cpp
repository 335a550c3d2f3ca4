// The bring-up commands on the command line: identify, configure, send and
// term, their options, and how each runs once parsed (identify.cpp,
// configure.cpp and raw_line.cpp do the work, through the line client).
#include "bringup.h"

#include <cstdio>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "capture.h"
#include "wire_format.h"

namespace vhost {

namespace {

// --baud: one of the speeds the modules run at.
void addSpeedOption(CLI::App *cmd, int &baud, const std::string &help)
{
    cmd->add_option("--baud", baud, help)->check(CLI::IsMember(wire::lineSpeeds()));
}

// "9600": the speed a module in INIT mode answers at.
std::string initSpeed() { return std::to_string(wire::INIT_BAUD); }

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
    addSpeedOption(cmd, a.line.baud, "the line's speed in bit/s (default " + initSpeed() + ")");
    cmd->add_flag("--checksum", a.checksum, "add the checksum to each line");
    addReplyTimeoutOption(cmd, a.line.timeoutMs);
    addCaptureOption(cmd, a.capturePath);
}

} // namespace

void addCaptureOption(CLI::App *cmd, std::string &path)
{
    cmd->add_option("--capture", path,
                    "write every byte the serial library sent and received, with its time, to this file "
                    "(monitor --replay reads it)");
}

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
    cmd->add_flag("--init", c.init,
                  "the module is in INIT mode: talk to 00h at " + initSpeed() + " baud without checksum");
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

Exit runSend(const RawArgs &a)
{
    capture::Recording capture;
    return capture.start(a.capturePath) ? sendCommand(a.line, a.lines, a.checksum) : EXIT_USAGE;
}

CLI::App *addTermCommand(CLI::App &app, RawArgs &a)
{
    CLI::App *cmd = app.add_subcommand("term", "a raw terminal on the line: command lines from the keyboard");
    addRawOptions(cmd, a);
    return cmd;
}

Exit runTerm(const RawArgs &a)
{
    capture::Recording capture;
    return capture.start(a.capturePath) ? termCommand(a.line, a.checksum) : EXIT_USAGE;
}

} // namespace vhost
