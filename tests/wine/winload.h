// Loading the module and calling into it, for the tests of the real DLL:
// under wine with LoadLibrary and direct calls (winload.cpp), or natively
// in the i386 emulator (emuload.cpp).  Kept apart from windows.h's own BOOL:
// records travel as untyped pointers.
#ifndef TESTS_WINE_WINLOAD_H
#define TESTS_WINE_WINLOAD_H

#include <cstdint>

struct LoadedDll {
    void *handle = nullptr;
    // The instruction table as the DLL holds it (32-bit layout, 2752 bytes),
    // and one whose functions the test program can call (FUNCDEF of this
    // program's layout): the same table under wine.
    const unsigned char *rawTable = nullptr;
    const void *table = nullptr;
    uintptr_t begin = 0, end = 0; // the DLL's image, as the DLL sees its addresses
};

bool loadDll(const char *path, LoadedDll &dll);
void unloadDll(LoadedDll &dll);

// Calls the entry __main@8 with a request record and an option string, or
// an instruction function with its three arguments; *espMoved tells how far
// the stack pointer moved across the call (0: the callee removed its own
// arguments, as the standard Windows convention wants).
uint32_t callEntry(const LoadedDll &dll, void *request, const char *options, int32_t *espMoved);
uint32_t callInstruction(const void *function, int32_t rung, int32_t count, void *params, int32_t *espMoved);

// Where the test finds the DLL.
const char *dllPath();

#endif
