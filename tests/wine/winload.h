// Loading the module on Windows, kept apart from windows.h's own BOOL.
#ifndef TESTS_WINE_WINLOAD_H
#define TESTS_WINE_WINLOAD_H

#include <cstdint>

void *loadModule(const char *path);
void *findExport(void *module, const char *name);
// The address range of a loaded module's image.
bool moduleRange(void *module, uintptr_t *begin, uintptr_t *end);
void unloadModule(void *module);

// Calls fn with `count` 32-bit arguments pushed right to left and reports
// how far the stack pointer moved across the call: 0 for a function that
// removed its own arguments (stdcall), -4 * count for cdecl.
extern "C" uint32_t callChecked(const void *fn, int32_t count, const uint32_t *args, int32_t *espMoved);

#endif
