// The real DLL, run in the i386 emulator (tools/pe), presented to a native
// host as if it were the native module: an entry function and an
// instruction table of the native layout, whose calls are carried into the
// DLL.  It is the module handle's second backend (module_handle.h); the tests of
// the DLL use it directly.
//
// Each call lays the records out as the 32-bit host does (the request
// record, the operand records of 12 bytes with 32-bit pointers, the option
// string and the output operands in the DLL's memory), calls the export or
// the table's function, proves that it removed its own arguments, and
// copies the output operands back.  The DLL's calls to the host's services
// are served by the host services of this program (console, clock), its
// serial calls by the serial library this program links.
//
// A build without the emulator (the Windows one) has only the stand-in of
// emulator_absent.cpp: opening a DLL fails, and emulatorAvailable() says no.
#ifndef TOOLS_LOADER_EMULATED_MODULE_H
#define TOOLS_LOADER_EMULATED_MODULE_H

#include <string>

#include "module_handle.h"

namespace pe {
class Emulator;
}

namespace loader {

struct EmulatedModule {
    EntryFunction entry = nullptr;
    const FUNCDEF *table = nullptr; // native layout; its functions call into the DLL
    std::string version;            // the DLL's file version ("1.4.0.0"), or empty
};

// Loads the DLL as the one emulated module of this process (a second open
// closes the first).  false: `error` says why, with the file's name.
bool openEmulatedModule(const std::string &path, EmulatedModule &module, std::string &error);
// Unloads it (its DllMain is told, unless it faulted); nothing when none is
// open.
void closeEmulatedModule();

// The stack check of the last call into the DLL: ESP after the call minus
// ESP before its arguments were pushed; 0 when the callee removed them.
int32_t lastStackMoved();
// Empty while the DLL runs; after a fault, what happened and where.  The
// DLL is stopped then: every further call returns at once, touching no
// operand.  The first fault is also written to stderr.
const std::string &moduleFault();
// The emulator of the open module (the tests read the DLL's memory).
pe::Emulator *moduleEmulator();

} // namespace loader

#endif
