// Bringing up modules: identify, configure, send and term talk to the line
// through the serial library (the _COM functions the module uses, by the
// line client), not through the module, whose instructions do not carry the
// configuration commands.  The line's options and parseAddress are the line
// client's (line_client.h).
#ifndef TOOLS_HOST_BRINGUP_H
#define TOOLS_HOST_BRINGUP_H

#include <CLI/CLI.hpp>
#include <iostream>
#include <string>
#include <vector>

#include "exit_status.h"
#include "line_client.h"
#include "survey.h"
#include "twin.h"

namespace vhost {

struct ConfigureOptions {
    std::string address; // the new address, as typed
    std::string baud;    // the new speed, as typed
    std::string checksum;
    std::string format;
    std::string type;
    std::string name;
    bool init = false; // the module is in INIT mode: talk to 00 at the INIT speed without checksum
};

// The subcommands' work; each returns the program's exit status and writes
// its report on stdout, its complaints on stderr.  identify (identify.cpp):
Exit identifyCommand(const LineOptions &line, const std::vector<int> &addresses);
// identify after a survey: each address found, at the first setting it
// answered at; what each module said goes to `ids`.
Exit identifyFound(const LineOptions &line, const std::vector<SurveyFind> &found, std::vector<ModuleIdentity> &ids);
// configure (configure.cpp):
Exit configureCommand(const LineOptions &line, int address, const ConfigureOptions &opt);
// send and term (raw_line.cpp).  Raw lines: each sent with a carriage return (and its checksum when
// `addChecksum`), the reply's bytes shown escaped with the times from the
// end of the command to its first byte and to its carriage return, and the
// bursts it came in when there were several (burstsOf).
Exit sendCommand(const LineOptions &line, const std::vector<std::string> &lines, bool addChecksum);
// The same, line by line from the keyboard (with line editing where `in`
// is standard input on a terminal, in the native build), until end of input
// or "quit"; "!N" sends the N-th line of the history again, "history" lists
// it.  A line with an escape sequence or another control character is not
// sent (said on stderr).
Exit termCommand(const LineOptions &line, bool addChecksum, std::istream &in = std::cin);

// The command line: each subcommand's options, the function that adds it
// to the program's command line, and the one that runs it once parsed.

// --port, as every subcommand that opens the line has it.
void addPortOption(CLI::App *cmd, int &port);
// --capture FILE, as run has it (capture.h).
void addCaptureOption(CLI::App *cmd, std::string &path);

struct IdentifyArgs {
    LineOptions line;
    std::string checksum; // "off", "on" or "" (try both)
    std::vector<std::string> addresses;
    int from = -1, to = -1; // a range besides the addresses (-1: none)
};
CLI::App *addIdentifyCommand(CLI::App &app, IdentifyArgs &a);
Exit runIdentify(const IdentifyArgs &a);

struct ConfigureArgs {
    LineOptions line;
    std::string address; // the module's address now, as typed
    ConfigureOptions change;
};
CLI::App *addConfigureCommand(CLI::App &app, ConfigureArgs &a);
Exit runConfigure(const ConfigureArgs &a);

// send and term.
struct RawArgs {
    LineOptions line;
    std::vector<std::string> lines; // send's command lines
    bool checksum = false;
    std::string capturePath; // --capture ("": none)
};
CLI::App *addSendCommand(CLI::App &app, RawArgs &a);
Exit runSend(const RawArgs &a);
CLI::App *addTermCommand(CLI::App &app, RawArgs &a);
Exit runTerm(const RawArgs &a);

} // namespace vhost

#endif
