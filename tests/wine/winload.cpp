#include "winload.h"

#include <windows.h>

// Calls fn with `count` 32-bit arguments pushed right to left (callcheck.cpp).
extern "C" uint32_t callChecked(const void *fn, int32_t count, const uint32_t *args, int32_t *espMoved);

namespace {
uint32_t word(const void *p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }
} // namespace

bool loadDll(const char *path, LoadedDll &dll)
{
    HMODULE m = LoadLibraryA(path);
    if (!m)
        return false;
    dll.handle = reinterpret_cast<void *>(m);
    dll.rawTable = reinterpret_cast<const unsigned char *>(GetProcAddress(m, "_FUNCTION_TABLE"));
    dll.table = dll.rawTable;
    auto base = reinterpret_cast<const unsigned char *>(m);
    auto dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    auto nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    dll.begin = reinterpret_cast<uintptr_t>(base);
    dll.end = dll.begin + nt->OptionalHeader.SizeOfImage;
    return GetProcAddress(m, "__main@8") && dll.rawTable;
}

void unloadDll(LoadedDll &dll)
{
    if (dll.handle)
        FreeLibrary(static_cast<HMODULE>(dll.handle));
    dll = LoadedDll();
}

uint32_t callEntry(const LoadedDll &dll, void *request, const char *options, int32_t *espMoved)
{
    const void *entry = reinterpret_cast<const void *>(GetProcAddress(static_cast<HMODULE>(dll.handle), "__main@8"));
    uint32_t args[2] = {word(request), word(options)};
    return callChecked(entry, 2, args, espMoved);
}

uint32_t callInstruction(const void *function, int32_t rung, int32_t count, void *params, int32_t *espMoved)
{
    uint32_t args[3] = {static_cast<uint32_t>(rung), static_cast<uint32_t>(count), word(params)};
    return callChecked(function, 3, args, espMoved);
}

const char *dllPath() { return "veldran.tlm"; }
