// The module handle and the requests; see module_handle.h.
#include "module_handle.h"

#include "emulated_module.h"
#include "hostsvc.h"
#include "library.h"
#include "records.h"

namespace loader {

namespace {

bool openNative(const std::string &file, Module &m, std::string &error)
{
    std::string why;
    m.library = openLibrary(file, why);
    if (!m.library) {
        error = "cannot load " + file + ": " + why;
        return false;
    }
    m.entry = reinterpret_cast<EntryFunction>(librarySymbol(m.library, VELDRAN_ENTRY_EXPORT));
    m.table = static_cast<const FUNCDEF *>(librarySymbol(m.library, VELDRAN_TABLE_EXPORT));
    if (!m.entry || !m.table) {
        error = file + " does not export " + (!m.entry ? VELDRAN_ENTRY_EXPORT : VELDRAN_TABLE_EXPORT);
        closeModule(m);
        return false;
    }
    // Where the DLL could be had instead, the report says which of the two
    // is in use.
    m.said = "module: " + file + (emulatorAvailable() ? " (native)" : "");
    return true;
}

bool openEmulated(const std::string &file, Module &m, std::string &error)
{
    EmulatedModule em;
    std::string why;
    if (!openEmulatedModule(file, em, why)) {
        error = "cannot load " + file + ": " + why;
        return false;
    }
    m.entry = em.entry;
    m.table = em.table;
    m.version = em.version;
    m.said =
        "module: " + file + " (DLL version " + (em.version.empty() ? "unknown" : em.version) + ") in the i386 emulator";
    return true;
}

// The host's status words, which SetMode hands to the module.
WORD statusWords[64];

} // namespace

std::string defaultModulePath() { return defaultLibraryPath(); }

bool openModule(Backend backend, const std::string &file, Module &module, std::string &error)
{
    module = Module();
    module.backend = backend;
    module.file = file;
    return backend == Backend::Emulated ? openEmulated(file, module, error) : openNative(file, module, error);
}

void closeModule(Module &module)
{
    if (module.backend == Backend::Emulated && module.entry)
        closeEmulatedModule();
    closeLibrary(module.library);
    module = Module();
}

bool moduleStopped(const Module &module) { return module.backend == Backend::Emulated && !moduleFault().empty(); }

ERRCODE sendInit(const Module &module, const std::string *options, bool topdoc)
{
    struct req_init req = records::request(REQ_INIT, hostsvc::dispatcher(), topdoc ? INIT_FLAG_TOPDOC : 0u);
    // The entry takes a writable string: it gets a copy.
    std::string copy = options ? *options : std::string();
    return module.entry(&req, options ? &copy[0] : nullptr);
}

ERRCODE sendSetmode(const Module &module, int32_t mode)
{
    struct req_setmode r = records::setMode(mode, statusWords);
    return module.entry(&r, nullptr);
}

ERRCODE sendDeinstall(const Module &module)
{
    struct req_init req = records::request(REQ_DEINSTALL);
    return module.entry(&req, nullptr);
}

} // namespace loader
