// See emulated_module.h.
#include "emulated_module.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "../../sdk/TLMUSR.h"
#include "emulator.h"
#include "hostsvc.h"
#include "win_imports.h"

namespace loader {
namespace {

using pe::CallOutcome;
using pe::Emulator;
using pe::formatGuest;

// The 32-bit host's records (veldran.h names their layout): the request
// record and its status words, the entries of the instruction table and the
// operand records.
constexpr uint32_t REQUEST32_BYTES = sizeof(struct req_init);
constexpr uint32_t STATUS_WORDS = 64;
constexpr int MAX_ENTRIES = 64;
constexpr uint32_t FUNCDEF32_PTR = offsetof(FUNCDEF, fnc_ptr); // before the first pointer: the same on both
constexpr uint32_t FUNCDEF32_DESC = offsetof(FUNCDEF, fnc_desc);

std::unique_ptr<Emulator> emu;
uint32_t entryAddress = 0;
uint32_t dispatcherThunk = 0;
std::array<FUNCDEF, MAX_ENTRIES> nativeTable;
std::array<uint32_t, MAX_ENTRIES> guestFunctions;
int32_t stackMoved = 0;
std::string faultText;

void noteFault(const std::string &what)
{
    if (!faultText.empty())
        return;
    faultText = what;
    fprintf(stderr, "veldran-host: the DLL stopped: %s\n", what.c_str());
    fflush(stderr);
}

// One call into the DLL; false after a fault.
bool callGuest(uint32_t fn, const std::vector<uint32_t> &args, const char *what, uint32_t &eax)
{
    CallOutcome r = emu->call(fn, args);
    if (!r.ok) {
        noteFault(std::string(what) + ": " + r.error);
        return false;
    }
    stackMoved = r.stackMoved;
    if (r.stackMoved != 0) {
        noteFault(std::string(what) + " did not remove its " + std::to_string(4 * args.size()) +
                  " bytes of arguments (stack moved by " + std::to_string(r.stackMoved) + ")");
        return false;
    }
    eax = r.eax;
    return true;
}

// The host's service dispatcher as the DLL sees it: the stub has put the
// selector in EAX and jumped here with its caller's arguments in place.
uint32_t dispatch(Emulator &e)
{
    int32_t selector = static_cast<int32_t>(e.eax());
    switch (selector) {
    case SEL_HlpPrintf: {
        std::string format;
        if (!e.string(e.arg(0), format)) {
            e.raise("HlpPrintf with a format outside the DLL's memory");
            return 0;
        }
        return static_cast<uint32_t>(hostsvc::svcPrintText(formatGuest(e, format, e.stackPointer() + 8)));
    }
    case SEL_HlpSprintf: {
        std::string format;
        if (!e.string(e.arg(1), format)) {
            e.raise("HlpSprintf with a format outside the DLL's memory");
            return 0;
        }
        hostsvc::svcCountSprintf();
        std::string text = formatGuest(e, format, e.stackPointer() + 12);
        uint8_t *out = e.span(e.arg(0), static_cast<uint32_t>(text.size() + 1));
        if (!out) {
            e.raise("HlpSprintf into a buffer outside the DLL's memory");
            return 0;
        }
        memcpy(out, text.c_str(), text.size() + 1);
        return static_cast<uint32_t>(text.size());
    }
    case SEL_HlpPtimerSet:
        return static_cast<uint32_t>(hostsvc::svcTimerSet(static_cast<int32_t>(e.arg(0))));
    case SEL_HlpPtimerPoll:
        return static_cast<uint32_t>(hostsvc::svcTimerPoll(static_cast<int32_t>(e.arg(0))));
    default:
        return static_cast<uint32_t>(hostsvc::svcOther());
    }
}

// The number of elements an output operand points to, and their size.
bool outputShape(const PARMDEF *descriptor, const TLIPARAM &p, uint32_t &bytes)
{
    if (!descriptor || !p.ptr.wptr)
        return false;
    WORD kind = descriptor->prm_argtype;
    if (kind != ARG_WORD_OUT && kind != ARG_NUM_OUT && kind != ARG_ARRAY_OUT)
        return false;
    uint32_t count = descriptor->prm_len ? descriptor->prm_len : 1;
    bytes = count * (p.isfloat ? sizeof(float) : sizeof(SSHORT));
    return true;
}

BOOL callInstruction(int index, int32_t rung, int32_t argc, TLIPARAM *params)
{
    if (!emu || !faultText.empty())
        return FALSE;
    const FUNCDEF &f = nativeTable[static_cast<size_t>(index)];
    emu->scratchReset();
    uint32_t count = argc > 0 ? static_cast<uint32_t>(argc) : 0;
    uint32_t records = count <= 64 ? emu->scratch(count * TLIPARAM32_BYTES + 4) : 0;
    if (!records)
        return FALSE;
    std::vector<uint32_t> guestOut(count, 0);
    std::vector<uint32_t> outBytes(count, 0);
    for (uint32_t i = 0; i < count; ++i) {
        const TLIPARAM &p = params[i];
        const PARMDEF *d = i < f.fnc_numargs && i < 9 ? &f.p[i] : nullptr;
        uint32_t val;
        memcpy(&val, &p.val, 4);
        uint32_t ptr = 0;
        uint32_t bytes = 0;
        if (outputShape(d, p, bytes)) {
            ptr = emu->scratch(bytes);
            memcpy(emu->span(ptr, bytes), p.ptr.wptr, bytes); // what the rung holds now
            guestOut[i] = ptr;
            outBytes[i] = bytes;
        }
        uint32_t at = records + i * TLIPARAM32_BYTES;
        emu->write32(at, val);
        emu->write32(at + offsetof(TLIPARAM, ptr), ptr);
        emu->write32(at + TLIPARAM32_ISFLOAT, p.isfloat);
    }
    uint32_t eax = 0;
    std::string what = std::string(f.fnc_name, strnlen(f.fnc_name, sizeof f.fnc_name));
    if (!callGuest(guestFunctions[static_cast<size_t>(index)], {static_cast<uint32_t>(rung), count, records},
                   what.c_str(), eax))
        return FALSE;
    for (uint32_t i = 0; i < count; ++i)
        if (guestOut[i])
            memcpy(params[i].ptr.wptr, emu->span(guestOut[i], outBytes[i]), outBytes[i]);
    return eax;
}

template <size_t I> BOOL TLMCALL instructionThunk(int32_t rung, int32_t argc, TLIPARAM *params)
{
    return callInstruction(static_cast<int>(I), rung, argc, params);
}

template <size_t... I> constexpr std::array<TLIPTR, sizeof...(I)> makeThunks(std::index_sequence<I...>)
{
    return {&instructionThunk<I>...};
}
constexpr std::array<TLIPTR, MAX_ENTRIES> THUNKS = makeThunks(std::make_index_sequence<MAX_ENTRIES>());

// The request entry: the native record, laid out again as the 32-bit host
// lays it (code, dispatcher at 4, flags at 24; SetMode: status words at 4,
// mode at 8).
ERRCODE TLMCALL entry(void *reqp, void *datap)
{
    if (!emu || !faultText.empty())
        return EC_BAD_REQUEST;
    int32_t code;
    memcpy(&code, reqp, sizeof code);
    emu->scratchReset();
    uint32_t req = emu->scratch(REQUEST32_BYTES);
    emu->write32(req, static_cast<uint32_t>(code));
    uint32_t options = 0;
    if (code == REQ_INIT) {
        const auto *r = static_cast<const struct req_init *>(reqp);
        emu->write32(req + offsetof(struct req_init, dispatcher), r->dispatcher ? dispatcherThunk : 0);
        emu->write32(req + offsetof(struct req_init, flags), r->flags);
        if (datap) {
            size_t n = strlen(static_cast<const char *>(datap));
            options = emu->scratch(static_cast<uint32_t>(n + 1));
            if (!options) {
                noteFault("the option string does not fit the DLL's memory");
                return EC_BAD_OPTION;
            }
            memcpy(emu->span(options, static_cast<uint32_t>(n + 1)), datap, n + 1);
        }
    } else if (code == REQ_SETMODE) {
        const auto *r = static_cast<const struct req_setmode *>(reqp);
        emu->write32(req + SETMODE32_STSFILE, r->stsFile ? emu->scratch(STATUS_WORDS * sizeof(WORD)) : 0);
        emu->write32(req + SETMODE32_MODE, static_cast<uint32_t>(r->mode));
    }
    uint32_t eax = EC_BAD_REQUEST;
    callGuest(entryAddress, {req, options}, VELDRAN_DLL_ENTRY_EXPORT, eax);
    return eax;
}

} // namespace

bool openEmulatedModule(const std::string &path, EmulatedModule &module, std::string &error)
{
    closeEmulatedModule();
    pe::ImportTable imports;
    pe::addSystemImports(imports);
    pe::addSerialImports(imports);
    emu = std::make_unique<Emulator>();
    if (!emu->load(path, imports, error)) {
        emu.reset();
        return false;
    }
    entryAddress = emu->exportAddress(VELDRAN_DLL_ENTRY_EXPORT);
    uint32_t table = emu->exportAddress(VELDRAN_DLL_TABLE_EXPORT);
    if (!entryAddress || !table) {
        error = path + " does not export " + (entryAddress ? VELDRAN_DLL_TABLE_EXPORT : VELDRAN_DLL_ENTRY_EXPORT);
        emu.reset();
        return false;
    }
    dispatcherThunk = emu->addThunk(dispatch);
    nativeTable.fill(FUNCDEF{});
    guestFunctions.fill(0);
    for (int i = 0; i < MAX_ENTRIES; ++i) {
        const uint8_t *g = emu->span(table + static_cast<uint32_t>(i) * FUNCDEF32_BYTES, FUNCDEF32_BYTES);
        if (!g) {
            error = path + ": its instruction table runs out of the image";
            emu.reset();
            return false;
        }
        FUNCDEF &f = nativeTable[static_cast<size_t>(i)];
        memcpy(f.fnc_name, g, sizeof f.fnc_name);
        memcpy(f.fnc_desc, g + FUNCDEF32_DESC, sizeof f.fnc_desc);
        memcpy(&guestFunctions[static_cast<size_t>(i)], g + FUNCDEF32_PTR, 4);
        f.fnc_numoptionalargs = g[FUNCDEF32_COUNTS];
        f.fnc_type = g[FUNCDEF32_COUNTS + 1];
        f.fnc_numargs = g[FUNCDEF32_COUNTS + 2];
        memcpy(f.p, g + FUNCDEF32_PARMS, sizeof f.p);
        if (f.fnc_name[0] == 0)
            break; // the terminator
        f.fnc_ptr = guestFunctions[static_cast<size_t>(i)] ? THUNKS[static_cast<size_t>(i)] : nullptr;
        if (i == MAX_ENTRIES - 1) {
            error = path + ": its instruction table has no end";
            emu.reset();
            return false;
        }
    }
    faultText.clear();
    stackMoved = 0;
    module.entry = entry;
    module.table = nativeTable.data();
    module.version = emu->image().fileVersion;
    return true;
}

void closeEmulatedModule()
{
    if (emu)
        emu->unload();
    emu.reset();
    faultText.clear();
}

int32_t lastStackMoved() { return stackMoved; }
const std::string &moduleFault() { return faultText; }
pe::Emulator *moduleEmulator() { return emu.get(); }

bool emulatorAvailable() { return true; }

} // namespace loader
