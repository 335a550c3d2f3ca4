#include "winload.h"

#include <windows.h>
#include <psapi.h>

void *loadModule(const char *path) { return reinterpret_cast<void *>(LoadLibraryA(path)); }

void *findExport(void *module, const char *name)
{
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), name));
}

bool moduleRange(void *module, uintptr_t *begin, uintptr_t *end)
{
    auto base = static_cast<const unsigned char *>(module);
    auto dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    auto nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    *begin = reinterpret_cast<uintptr_t>(base);
    *end = *begin + nt->OptionalHeader.SizeOfImage;
    return true;
}

void unloadModule(void *module) { FreeLibrary(static_cast<HMODULE>(module)); }
