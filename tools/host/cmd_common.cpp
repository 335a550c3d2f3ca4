// What the subcommands share; see cmd_common.h.
#include "cmd_common.h"

#include <cstdio>

#include "platform.h"

namespace vhost {

namespace {

extern "C" void onSignal(int) { stopRequested = 1; }

const char *const MODULE_HELP = "module file to load (default: beside this program)";
const char *const DLL_HELP = "run the real Windows DLL (veldran.tlm) in the i386 emulator instead of the module";

// -m/--module and --dll on `app`.
void addModuleOptionsTo(CLI::App &app, ModuleArgs &a)
{
    a.paths.push_back(app.add_option("-m,--module", a.path, MODULE_HELP));
    if (loader::emulatorAvailable())
        a.dlls.push_back(app.add_option("--dll", a.dll, DLL_HELP)->excludes("--module"));
}

size_t timesGiven(const std::vector<const CLI::Option *> &options)
{
    size_t n = 0;
    for (const CLI::Option *o : options)
        n += o->count();
    return n;
}

} // namespace

volatile std::sig_atomic_t stopRequested = 0;

void addModuleOptions(CLI::App &app, ModuleArgs &a)
{
    a.path = loader::defaultModulePath();
    addModuleOptionsTo(app, a);
}

CLI::App *withModuleOptions(CLI::App *command, ModuleArgs &a)
{
    // A group without a name is parsed with the subcommand's own options
    // and not shown in its --help.
    addModuleOptionsTo(*command->add_option_group(""), a);
    return command;
}

void checkModuleOptions(const ModuleArgs &a)
{
    const size_t paths = timesGiven(a.paths), dlls = timesGiven(a.dlls);
    if (paths && dlls)
        throw CLI::ExcludesError(a.paths.front()->get_name(), a.dlls.front()->get_name());
    if (paths > 1)
        throw CLI::ArgumentMismatch::AtMost(a.paths.front()->get_name(), 1, paths);
    if (dlls > 1)
        throw CLI::ArgumentMismatch::AtMost(a.dlls.front()->get_name(), 1, dlls);
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
