// A 32-bit Windows DLL run in-process on an i386 CPU emulator (Unicorn), for
// machines that cannot execute 32-bit code.
//
// The DLL's memory is one arena that is mapped at the same address in this
// process and in the emulated CPU (below 2 GiB, so that every address fits
// in 32 bits): a guest pointer is a host pointer, and the host reads and
// writes the DLL's records and buffers in place.  The arena holds a page of
// import thunks, the descriptor table and the thread block, the image (never
// at its preferred base, so that its relocations are always applied), the
// stack, a small heap for the C runtime, and scratch space for the records
// the host hands over.
//
// Every import the DLL names is bound to a thunk ("int3; ret N"); the
// interrupt lands here, the import's native implementation runs, and the
// emulated "ret" returns to the DLL with the arguments removed as the
// import's calling convention says.  The host's service dispatcher is such
// a thunk too.  A call into the DLL runs until it returns to a stop address
// of its own; a fault (a bad memory access, an invalid instruction, a CPU
// exception, a runaway past an instruction bound) ends the call with a
// message naming the address and the nearest export, and leaves the DLL
// unusable, never the host.
#ifndef TOOLS_PE_EMULATOR_H
#define TOOLS_PE_EMULATOR_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "pe_image.h"

struct uc_struct;

namespace pe {

// The native side of one imported function: it reads its arguments from the
// guest stack (arg(0) is the first) and returns the value for EAX.
class Emulator;
using NativeImport = std::function<uint32_t(Emulator &)>;

struct ImportBinding {
    NativeImport fn;         // null for data
    uint16_t calleePops = 0; // bytes the callee removes (stdcall), 0 for cdecl
    uint32_t dataBytes = 0;  // data: zeroed bytes of its own (dataAddress())
    bool initTerm = false;   // msvcrt's _initterm, which runs as guest code
};

// Which functions each DLL may import: "kernel32.dll" -> name -> binding.
using ImportTable = std::map<std::string, std::map<std::string, ImportBinding>>;

struct CallOutcome {
    bool ok = false;        // the function returned to the stop address
    uint32_t eax = 0;       // its result
    int32_t stackMoved = 0; // ESP after the call minus ESP before the arguments
    std::string error;      // when not ok
};

class Emulator {
public:
    Emulator();
    ~Emulator();
    Emulator(const Emulator &) = delete;
    Emulator &operator=(const Emulator &) = delete;

    // Loads the DLL: lays it out, applies its relocations, binds its imports
    // to `imports` (one missing is a load error naming DLL and function)
    // and runs its entry point with the process-attach notification.
    bool load(const std::string &path, const ImportTable &imports, std::string &error);
    // Runs the entry point with the process-detach notification (the C
    // runtime's exit handlers), unless the DLL is stopped after a fault.
    void unload();
    const Image &image() const { return image_; }
    uint32_t imageBase() const { return imageBase_; }
    // The address of an export, or 0.
    uint32_t exportAddress(const std::string &name) const;

    // Calls the function at `fn` with 32-bit arguments pushed right to left.
    CallOutcome call(uint32_t fn, const std::vector<uint32_t> &args);
    // After a fault nothing more can be called.
    bool faulted() const { return !fault_.empty(); }
    const std::string &fault() const { return fault_; }
    // The bound on instructions per call (a runaway loop ends there).
    void setInstructionBound(uint64_t n) { instructionBound_ = n; }

    // A thunk address for a native function that the DLL calls through a
    // pointer (the host's dispatcher): cdecl, the caller removes arguments.
    uint32_t addThunk(const NativeImport &fn);
    // Where an imported data item lives, or 0.
    uint32_t dataAddress(const std::string &name) const;
    // Zeroed heap memory of this DLL's own that a native import keeps its
    // state in (msvcrt's errno), allocated at the first call for `name`;
    // 0 when the heap is full.
    uint32_t importState(const std::string &name, uint32_t bytes);

    // Inside a native import: the registers and the arguments.
    uint32_t eax() const;
    uint32_t arg(int i) const; // the i-th 32-bit argument of the current import
    uint32_t stackPointer() const;

    // Guest memory, which is host memory at the same address.  span() is
    // null unless [addr, addr + len) lies in the arena.
    uint8_t *span(uint32_t addr, uint32_t len) const;
    uint32_t read32(uint32_t addr) const;
    void write32(uint32_t addr, uint32_t v);
    // A zero-terminated string at addr, at most `max` characters; false when
    // it runs out of the arena unterminated.
    bool string(uint32_t addr, std::string &s, size_t max = 65536) const;

    // Scratch memory for the host's records: reset at the start of each
    // host call (scratchReset), allocated 8-byte aligned; 0 when full.
    void scratchReset();
    uint32_t scratch(uint32_t bytes);
    // The C runtime's heap: calloc, realloc and free of the DLL.
    uint32_t heapAlloc(uint32_t bytes);
    uint32_t heapRealloc(uint32_t addr, uint32_t bytes);

    // The nearest export at or below an address, as "I7017+0x2c", or the
    // image offset ("veldran.tlm+0x1234") where no export is below it.
    std::string where(uint32_t addr) const;
    // Records a fault from inside a native import (the call ends there).
    void raise(const std::string &what);
    uint32_t arenaBase() const { return arena_; }
    uint32_t arenaEnd() const { return arena_ + arenaSize_; }

private:
    bool mapArena(std::string &error);
    void setUpSegments();
    bool bindImports(const ImportTable &imports, std::string &error);
    bool run(uint32_t begin, std::string &error);
    uint32_t initTermAddress() const;
    static void onInterrupt(uc_struct *uc, uint32_t intno, void *self);
    void interrupt(uint32_t intno);

    uc_struct *uc_ = nullptr;
    uint8_t *host_ = nullptr; // the arena as mapped here
    uint32_t arena_ = 0;      // and its address
    uint32_t arenaSize_ = 0;
    Image image_;
    std::string fileName_;
    uint32_t imageBase_ = 0;
    uint32_t stackTop_ = 0;
    uint32_t stopAddress_ = 0;
    uint32_t thunkNext_ = 0;
    std::vector<ImportBinding> thunks_; // by slot
    uint32_t heapNext_ = 0, heapEnd_ = 0;
    uint32_t scratchBase_ = 0, scratchNext_ = 0, scratchEnd_ = 0;
    uint64_t instructionBound_ = 2000000000ull;
    bool attached_ = false;
    std::string fault_;        // set once; the DLL is dead afterwards
    std::string pendingFault_; // raised during the current call
    std::map<uint32_t, std::string> exportsByAddress_;
    std::map<std::string, uint32_t> data_;
    std::map<std::string, uint32_t> importState_;
};

// A guest address as the emulator's messages show it: "0x0001f00c".
std::string hexAddress(uint32_t v);

} // namespace pe

#endif
