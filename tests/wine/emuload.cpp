// The tests of the real DLL in the i386 emulator: the DLL named by
// VELDRAN_DLL, presented natively by the emulated module.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "emulated_module.h"
#include "emulator.h"
#include "winload.h"

namespace {
loader::EntryFunction entry = nullptr;
// After a fault the DLL is stopped; the stack check then reports the fault.
int32_t moved() { return loader::moduleFault().empty() ? loader::lastStackMoved() : 99; }
} // namespace

bool loadDll(const char *path, LoadedDll &dll)
{
    loader::EmulatedModule m;
    std::string error;
    if (!loader::openEmulatedModule(path, m, error)) {
        fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
    pe::Emulator *emu = loader::moduleEmulator();
    // The DLL's memory is this program's memory at the same address.
    dll.handle = emu;
    dll.rawTable = emu->span(emu->exportAddress("_FUNCTION_TABLE"), 16 * 172);
    dll.table = m.table;
    dll.begin = emu->imageBase();
    dll.end = dll.begin + emu->image().sizeOfImage;
    entry = m.entry;
    return dll.rawTable != nullptr;
}

void unloadDll(LoadedDll &dll)
{
    loader::closeEmulatedModule();
    dll = LoadedDll();
}

uint32_t callEntry(const LoadedDll &, void *request, const char *options, int32_t *espMoved)
{
    uint32_t r = entry(request, const_cast<char *>(options));
    *espMoved = moved();
    return r;
}

uint32_t callInstruction(const void *function, int32_t rung, int32_t count, void *params, int32_t *espMoved)
{
    auto fn = reinterpret_cast<TLIPTR>(const_cast<void *>(function));
    uint32_t r = fn(rung, count, static_cast<TLIPARAM *>(params));
    *espMoved = moved();
    return r;
}

const char *dllPath()
{
    const char *p = getenv("VELDRAN_DLL");
    return p && *p ? p : "veldran.tlm";
}
