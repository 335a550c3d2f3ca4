// The native module's library, through the operating system's loader:
// dlopen on POSIX (library_posix.cpp), LoadLibrary on Windows
// (library_win32.cpp).  Kept apart so that windows.h never meets veldran.h
// (both define BOOL) in one translation unit.
#ifndef TOOLS_LOADER_LIBRARY_H
#define TOOLS_LOADER_LIBRARY_H

#include <string>

namespace loader {

// The library's handle; null after saying in `error` why it would not load.
void *openLibrary(const std::string &path, std::string &error);
// The address of an exported symbol, or null.
void *librarySymbol(void *library, const char *name);
void closeLibrary(void *library);
// The module's file beside the running program (veldran.so, veldran.tlm).
std::string defaultLibraryPath();

} // namespace loader

#endif
