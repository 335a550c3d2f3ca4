// The emulated backend of a build without the i386 emulator (the Windows
// build, which loads the DLL itself): there is none, and opening a DLL in
// it fails.
#include "emulated_module.h"

namespace loader {

bool emulatorAvailable() { return false; }

bool openEmulatedModule(const std::string &path, EmulatedModule &, std::string &error)
{
    error = path + ": this build has no i386 emulator";
    return false;
}

void closeEmulatedModule() {}

const std::string &moduleFault()
{
    static const std::string none;
    return none;
}

} // namespace loader
