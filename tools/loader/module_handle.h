// The module as a host program loads it: one handle, whichever of the two
// backends it came from, and the requests a host sends to its entry.
//
//   native     the module file of this build (veldran.so with dlopen, or
//              veldran.tlm with LoadLibrary), its two exports found by the
//              names of this build (VELDRAN_ENTRY_EXPORT, ...);
//   emulated   the Windows DLL in the i386 emulator (emulated_module.h), on
//              the builds that have the emulator (emulatorAvailable()).
//
// Either way the handle holds an entry function and an instruction table of
// this build's layout, which the host calls alike.
#ifndef TOOLS_LOADER_MODULE_HANDLE_H
#define TOOLS_LOADER_MODULE_HANDLE_H

#include <string>

#include "../../veldran/veldran.h"

namespace loader {

using EntryFunction = ERRCODE(TLMCALL *)(void *reqp, void *datap);

enum class Backend { Native, Emulated };

struct Module {
    Backend backend = Backend::Native;
    std::string file; // the file loaded
    EntryFunction entry = nullptr;
    const FUNCDEF *table = nullptr;
    std::string said;        // which module is in use, for a report's first line
    std::string version;     // the DLL's file version ("1.0.0.0"); "" for the native module, which has none
    void *library = nullptr; // the native module's library handle
};

// Whether this build runs the Windows DLL in the emulator (the native build
// does, the Windows build has no emulator).
bool emulatorAvailable();

// The native module's file beside the running program.
std::string defaultModulePath();

// Loads `file` through `backend`.  false: `error` says why, with the file's
// name ("cannot load ...: ...", "... does not export ...").
bool openModule(Backend backend, const std::string &file, Module &module, std::string &error);
// Unloads it; the handle is empty afterwards.
void closeModule(Module &module);
// A DLL in the emulator that faulted is stopped (the fault is on stderr):
// nothing more it reports can be trusted.  A native module never is.
bool moduleStopped(const Module &module);

// The requests.  Init carries this program's service dispatcher (hostsvc),
// the option string (null without one) and the TopDoc flag; SetMode the
// controller mode and the host's status words.
ERRCODE sendInit(const Module &module, const std::string *options, bool topdoc);
ERRCODE sendSetmode(const Module &module, int32_t mode);
ERRCODE sendDeinstall(const Module &module);

} // namespace loader

#endif
