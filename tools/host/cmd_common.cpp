// What the subcommands share; see cmd_common.h.
#include "cmd_common.h"

#include <cstdio>

#include "platform.h"

namespace vhost {

namespace {

extern "C" void onSignal(int) { stopRequested = 1; }

} // namespace

volatile std::sig_atomic_t stopRequested = 0;

void addModuleOptions(CLI::App &app, ModuleArgs &a)
{
    a.path = loader::defaultModulePath();
    app.add_option("-m,--module", a.path, "module file to load (default: beside this program)");
    if (loader::emulatorAvailable())
        app.add_option("--dll", a.dll,
                       "run the real Windows DLL (veldran.tlm) in the i386 emulator instead of the module")
            ->excludes("--module");
}

bool openModule(const ModuleArgs &a, loader::Module &m)
{
    std::string error;
    const bool emulated = !a.dll.empty();
    if (loader::openModule(emulated ? loader::Backend::Emulated : loader::Backend::Native, emulated ? a.dll : a.path, m,
                           error))
        return true;
    fprintf(stderr, "veldran-host: %s\n", error.c_str());
    return false;
}

std::optional<Exit> openModuleAndLadder(const ModuleArgs &mod, const std::string &ladder, Exit badLadder,
                                        loader::Module &m, Program &prog)
{
    if (!openModule(mod, m))
        return EXIT_LOAD;
    try {
        prog = parseLadderFile(ladder, m.table);
    } catch (const LadderError &e) {
        fprintf(stderr, "veldran-host: %s\n", e.what());
        return badLadder;
    }
    return std::nullopt;
}

void stopOnSignals()
{
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
}

void noteDefaultDevice(int port)
{
    std::string note = defaultDeviceNote(port);
    if (!note.empty())
        fprintf(stderr, "veldran-host: %s\n", note.c_str());
}

} // namespace vhost
