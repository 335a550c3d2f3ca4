// Bringing up modules: identify, configure, send and term talk to the line
// through the serial library (the _COM functions the module uses), not
// through the module, whose instructions do not carry the configuration
// commands.
#ifndef TOOLS_HOST_BRINGUP_H
#define TOOLS_HOST_BRINGUP_H

#include <CLI/CLI.hpp>
#include <optional>
#include <string>
#include <vector>

namespace vhost {

struct LineOptions {
    int port = 1;
    int baud = 0;        // bit/s; 0: find out (identify, configure) or 9600 (send, term)
    int checksum = -1;   // -1: find out (identify, configure) or off (send, term)
    int timeoutMs = 200; // for the first byte of a reply; the line's delivery included
};

struct ConfigureOptions {
    std::string address; // the new address, as typed
    std::string baud;    // the new speed, as typed
    std::string checksum;
    std::string format;
    std::string type;
    std::string name;
    bool init = false; // the module is in INIT mode: talk to 00 at 9600 without checksum
};

// A module address as typed: decimal (5), hex with 0x (0x05) or h (05h).
// Returns -1 when it is none of 0 to 255.
int parseAddress(const std::string &text);

// The subcommands; each returns the program's exit status and writes its
// report on stdout, its complaints on stderr.
int identifyCommand(const LineOptions &line, const std::vector<int> &addresses);
int configureCommand(const LineOptions &line, int address, const ConfigureOptions &opt);
// Raw lines: each sent with a carriage return (and its checksum when
// `addChecksum`), the reply's bytes shown escaped with the times from the
// end of the command to its first byte and to its carriage return.
int sendCommand(const LineOptions &line, const std::vector<std::string> &lines, bool addChecksum);
// The same, line by line from the keyboard, until end of input or "quit";
// "!N" sends the N-th line of the history again, "history" lists it.
int termCommand(const LineOptions &line, bool addChecksum);

// Registers identify and configure with the program's command line, and
// runs the one chosen.
class BringupCommands {
public:
    explicit BringupCommands(CLI::App &app);
    // The exit status when one of these subcommands was chosen.
    std::optional<int> run() const;

private:
    CLI::App *identify_ = nullptr;
    CLI::App *configure_ = nullptr;
    CLI::App *send_ = nullptr;
    CLI::App *term_ = nullptr;
    LineOptions rawLine_;
    std::vector<std::string> rawLines_;
    bool rawChecksum_ = false;
    LineOptions identifyLine_, configureLine_;
    std::vector<std::string> addresses_;
    int from_ = -1, to_ = -1;
    std::string address_;
    ConfigureOptions configureOptions_;
};

} // namespace vhost

#endif
