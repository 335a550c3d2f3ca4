// What the emulated DLL imports, served natively: the parts of KERNEL32.dll
// and msvcrt.dll that a DLL's start-up code and C runtime call, the serial
// library comm.dll (the serial library that this program links), and the
// printf formatting that the host's print services and vfprintf share.
#ifndef TOOLS_PE_WIN_IMPORTS_H
#define TOOLS_PE_WIN_IMPORTS_H

#include <string>

#include "emulator.h"

namespace pe {

// printf formatting of `format` with the values that start at guest address
// `valuesAt`, laid out as a 32-bit caller pushes them (every integer, char
// and pointer in 32 bits, "ll" and "I64" in 64, floating point as doubles).
// "%n" writes nothing; a "%s" that points outside the DLL's memory prints
// "(bad pointer)".
std::string formatGuest(Emulator &emu, const std::string &format, uint32_t valuesAt);

// KERNEL32.dll and msvcrt.dll.
void addSystemImports(ImportTable &table);
// comm.dll: _COMsetup and the seven others.
void addSerialImports(ImportTable &table);

} // namespace pe

#endif
