// What the subcommands of veldran-host share: the options that say which
// module to load (before the subcommand or after it), the module opened
// with the program's own messages, the signals that end a run or a survey,
// and the note about a port's default device.
#ifndef TOOLS_HOST_CMD_COMMON_H
#define TOOLS_HOST_CMD_COMMON_H

#include <CLI/CLI.hpp>
#include <csignal>
#include <optional>
#include <string>
#include <vector>

#include "exit_status.h"
#include "ladder.h"
#include "module_handle.h"

namespace vhost {

// Which module to load.
struct ModuleArgs {
    std::string path; // the module file
    std::string dll;  // the Windows DLL to run in the emulator instead ("": none)
    // Every -m/--module and --dll option, before the subcommand and after it.
    std::vector<const CLI::Option *> paths, dlls;
};

// The options before the subcommand, as --help lists them; --dll only where
// the loader has the emulator.
void addModuleOptions(CLI::App &app, ModuleArgs &a);
// The same options after a subcommand that loads the module, not listed in
// its --help; returns the subcommand.
CLI::App *withModuleOptions(CLI::App *command, ModuleArgs &a);
// After parsing: the options of both places taken together as those of one
// place are (--module excludes --dll, each at most once); throws CLI11's
// error otherwise.
void checkModuleOptions(const ModuleArgs &a);

// The module of the options; false after saying on stderr why not.
bool openModule(const ModuleArgs &a, loader::Module &m);
// The module, and the ladder program read against its table.  When either
// cannot be had, the status to end with after saying why: EXIT_LOAD, or
// `badLadder`.
std::optional<Exit> openModuleAndLadder(const ModuleArgs &mod, const std::string &ladder, Exit badLadder,
                                        loader::Module &m, Program &prog);

// Set by Ctrl-C and SIGTERM once stopOnSignals() was called: a run or a
// survey ends after the call under way.
extern volatile std::sig_atomic_t stopRequested;
void stopOnSignals();

// Says on stderr when a port falls back to its default device, before
// anything opens it.
void noteDefaultDevice(int port);

} // namespace vhost

#endif
