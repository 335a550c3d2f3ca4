// See emulator.h.
#include "emulator.h"

#include <sys/mman.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include <unicorn/unicorn.h>

namespace pe {
namespace {

// The arena, by offset from its start.
constexpr uint32_t THUNK_PAGE = 0x0000; // 8-byte thunks; slot 0 is the stop address
constexpr uint32_t THUNK_BYTES = 0x1f00;
constexpr uint32_t INITTERM_CODE = 0x1f00; // _initterm, in guest code (it calls the DLL)
constexpr uint32_t GDT_AT = 0x2000;
constexpr uint32_t TEB_AT = 0x3000;
constexpr uint32_t PEB_AT = 0x4000;
constexpr uint32_t TLS_AT = 0x5000;
constexpr uint32_t IMAGE_AT = 0x10000;
constexpr uint32_t STACK_BYTES = 1u << 20;
constexpr uint32_t HEAP_BYTES = 4u << 20;
constexpr uint32_t SCRATCH_BYTES = 4u << 20;
constexpr uint32_t THUNK_SIZE = 8;
constexpr uint64_t SLICE = 4000000; // instructions per uc_emu_start

// Segment selectors: code and data for ring 3, FS on the thread block, and
// a ring-0 stack segment (the CPU starts at ring 0, where SS must match).
constexpr int GDT_CODE = 14, GDT_DATA = 15, GDT_FS = 16, GDT_STACK = 17, GDT_ENTRIES = 32;

// _initterm(begin, end): calls each non-null function pointer in
// [begin, end).  It runs as guest code because it calls into the DLL.
constexpr uint8_t INITTERM[] = {
    0x56,                   // push esi
    0x57,                   // push edi
    0x8b, 0x74, 0x24, 0x0c, // mov esi, [esp+12]
    0x8b, 0x7c, 0x24, 0x10, // mov edi, [esp+16]
    0x39, 0xfe,             // loop: cmp esi, edi
    0x73, 0x0d,             // jae done
    0x8b, 0x06,             // mov eax, [esi]
    0x85, 0xc0,             // test eax, eax
    0x74, 0x02,             // jz next
    0xff, 0xd0,             // call eax
    0x83, 0xc6, 0x04,       // next: add esi, 4
    0xeb, 0xef,             // jmp loop
    0x5f,                   // done: pop edi
    0x5e,                   // pop esi
    0xc3,                   // ret
};

uint64_t descriptor(uint32_t base, uint32_t limit, bool code, unsigned dpl)
{
    bool pages = limit > 0xfffff;
    if (pages)
        limit >>= 12;
    uint64_t d = limit & 0xffff;
    d |= static_cast<uint64_t>(base & 0xffff) << 16;
    d |= static_cast<uint64_t>((base >> 16) & 0xff) << 32;
    d |= static_cast<uint64_t>(code ? 0xb : 0x3) << 40; // execute/read, or read/write
    d |= 1ull << 44;                                    // code or data
    d |= static_cast<uint64_t>(dpl & 3) << 45;
    d |= 1ull << 47; // present
    d |= static_cast<uint64_t>((limit >> 16) & 0xf) << 48;
    d |= 1ull << 54; // 32-bit
    if (pages)
        d |= 1ull << 55;
    d |= static_cast<uint64_t>(base >> 24) << 56;
    return d;
}

std::string lower(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

uint32_t regRead(uc_engine *uc, int reg)
{
    uint32_t v = 0;
    uc_reg_read(uc, reg, &v);
    return v;
}

void regWrite(uc_engine *uc, int reg, uint32_t v) { uc_reg_write(uc, reg, &v); }

const char *exceptionName(uint32_t intno)
{
    switch (intno) {
    case 0:
        return "division by zero";
    case 1:
        return "debug trap";
    case 3:
        return "breakpoint (int3) outside the import thunks";
    case 4:
        return "overflow trap";
    case 5:
        return "bound range exceeded";
    case 6:
        return "invalid instruction";
    case 13:
        return "general protection fault";
    default:
        return "CPU exception";
    }
}

bool onBadMemory(uc_engine *, uc_mem_type type, uint64_t address, int, int64_t, void *self)
{
    auto *emu = static_cast<Emulator *>(self);
    const char *what = "access";
    switch (type) {
    case UC_MEM_READ_UNMAPPED:
    case UC_MEM_READ_PROT:
        what = "read of";
        break;
    case UC_MEM_WRITE_UNMAPPED:
    case UC_MEM_WRITE_PROT:
        what = "write to";
        break;
    case UC_MEM_FETCH_UNMAPPED:
    case UC_MEM_FETCH_PROT:
        what = "jump to";
        break;
    default:
        break;
    }
    emu->raise(std::string(what) + " unmapped memory at " + hexAddress(static_cast<uint32_t>(address)));
    return false;
}

} // namespace

std::string hexAddress(uint32_t v)
{
    char b[16];
    snprintf(b, sizeof b, "0x%08x", v);
    return b;
}

Emulator::Emulator() = default;

Emulator::~Emulator()
{
    if (uc_)
        uc_close(uc_);
    if (host_)
        munmap(host_, arenaSize_);
}

bool Emulator::mapArena(std::string &error)
{
    uint32_t imageBytes = (image_.sizeOfImage + 0xffff) & ~0xffffu;
    // One spare 64 KiB step in case the arena falls where the image would
    // need no relocation.
    arenaSize_ = IMAGE_AT + imageBytes + 0x10000 + STACK_BYTES + HEAP_BYTES + SCRATCH_BYTES;
    void *p = mmap(nullptr, arenaSize_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    if (p == MAP_FAILED) {
        error = "no memory below 2 GiB for the emulated DLL";
        return false;
    }
    host_ = static_cast<uint8_t *>(p);
    arena_ = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
    uc_err e = uc_open(UC_ARCH_X86, UC_MODE_32, &uc_);
    if (e == UC_ERR_OK)
        e = uc_mem_map_ptr(uc_, arena_, arenaSize_, UC_PROT_ALL, host_);
    if (e != UC_ERR_OK) {
        error = std::string("the CPU emulator would not start: ") + uc_strerror(e);
        return false;
    }
    imageBase_ = arena_ + IMAGE_AT;
    if (imageBase_ == image_.preferredBase)
        imageBase_ += 0x10000;
    uint32_t after = IMAGE_AT + imageBytes + 0x10000;
    stackTop_ = arena_ + after + STACK_BYTES - 64;
    heapNext_ = arena_ + after + STACK_BYTES;
    heapEnd_ = heapNext_ + HEAP_BYTES;
    scratchBase_ = scratchNext_ = heapEnd_;
    scratchEnd_ = scratchBase_ + SCRATCH_BYTES;
    stopAddress_ = arena_ + THUNK_PAGE;
    host_[THUNK_PAGE] = 0xf4; // hlt, never reached: emulation stops before it
    thunks_.assign(1, ImportBinding());
    memcpy(host_ + INITTERM_CODE, INITTERM, sizeof INITTERM);

    uc_hook h;
    uc_hook_add(uc_, &h, UC_HOOK_INTR, reinterpret_cast<void *>(&Emulator::onInterrupt), this, 1, 0);
    uc_hook_add(uc_, &h, UC_HOOK_MEM_INVALID, reinterpret_cast<void *>(&onBadMemory), this, 1, 0);
    setUpSegments();
    return true;
}

void Emulator::setUpSegments()
{
    uint32_t teb = arena_ + TEB_AT;
    uint64_t gdt[GDT_ENTRIES] = {};
    gdt[GDT_CODE] = descriptor(0, 0xfffff000, true, 3);
    gdt[GDT_DATA] = descriptor(0, 0xfffff000, false, 3);
    gdt[GDT_FS] = descriptor(teb, 0xfff, false, 3);
    gdt[GDT_STACK] = descriptor(0, 0xfffff000, false, 0);
    memcpy(host_ + GDT_AT, gdt, sizeof gdt);
    uc_x86_mmr gdtr{};
    gdtr.base = arena_ + GDT_AT;
    gdtr.limit = sizeof gdt - 1;
    uc_reg_write(uc_, UC_X86_REG_GDTR, &gdtr);
    regWrite(uc_, UC_X86_REG_SS, GDT_STACK << 3);
    regWrite(uc_, UC_X86_REG_CS, GDT_CODE << 3 | 3);
    regWrite(uc_, UC_X86_REG_DS, GDT_DATA << 3 | 3);
    regWrite(uc_, UC_X86_REG_ES, GDT_DATA << 3 | 3);
    regWrite(uc_, UC_X86_REG_FS, GDT_FS << 3 | 3);

    // The thread block: no exception handler, the stack's bounds, itself,
    // the process block and an empty thread-local array.
    write32(teb + 0x00, 0xffffffffu);
    write32(teb + 0x04, stackTop_ + 64);
    write32(teb + 0x08, stackTop_ + 64 - STACK_BYTES);
    write32(teb + 0x18, teb);
    write32(teb + 0x2c, arena_ + TLS_AT);
    write32(teb + 0x30, arena_ + PEB_AT);
    write32(arena_ + PEB_AT + 0x08, imageBase_);
}

bool Emulator::bindImports(const ImportTable &imports, std::string &error)
{
    std::map<std::string, uint32_t> bound; // "dll!name" -> address
    for (const Import &imp : image_.imports) {
        std::string dll = lower(imp.dll);
        auto d = imports.find(dll);
        const ImportBinding *b = nullptr;
        if (d != imports.end()) {
            auto f = d->second.find(imp.name);
            if (f != d->second.end())
                b = &f->second;
        }
        if (!b) {
            error = fileName_ + " imports " + imp.name + " from " + imp.dll + ", which the emulator does not provide";
            return false;
        }
        std::string key = dll + "!" + imp.name;
        uint32_t addr = 0;
        auto seen = bound.find(key);
        if (seen != bound.end()) {
            addr = seen->second;
        } else if (b->initTerm) {
            addr = initTermAddress();
        } else if (!b->fn) {
            // Data: zeroed memory of its own (msvcrt's _iob).
            addr = heapAlloc(b->dataBytes ? b->dataBytes : 4);
            data_[imp.name] = addr;
        } else {
            addr = addThunk(b->fn);
            uint32_t slot = (addr - arena_ - THUNK_PAGE) / THUNK_SIZE;
            thunks_[slot].calleePops = b->calleePops;
            uint8_t *t = host_ + (addr - arena_);
            if (b->calleePops) {
                t[1] = 0xc2; // ret imm16
                t[2] = static_cast<uint8_t>(b->calleePops);
                t[3] = static_cast<uint8_t>(b->calleePops >> 8);
            }
        }
        if (!addr) {
            error = "no room for the imports of " + fileName_;
            return false;
        }
        bound[key] = addr;
        write32(imageBase_ + imp.slotRva, addr);
    }
    return true;
}

uint32_t Emulator::addThunk(const NativeImport &fn)
{
    uint32_t slot = static_cast<uint32_t>(thunks_.size());
    if ((slot + 1) * THUNK_SIZE > THUNK_BYTES)
        return 0;
    ImportBinding b;
    b.fn = fn;
    thunks_.push_back(b);
    uint8_t *t = host_ + THUNK_PAGE + slot * THUNK_SIZE;
    t[0] = 0xcc; // int3: lands in interrupt()
    t[1] = 0xc3; // ret
    return arena_ + THUNK_PAGE + slot * THUNK_SIZE;
}

uint32_t Emulator::dataAddress(const std::string &name) const
{
    auto it = data_.find(name);
    return it == data_.end() ? 0 : it->second;
}

uint32_t Emulator::importState(const std::string &name, uint32_t bytes)
{
    uint32_t &at = importState_[name];
    if (!at)
        at = heapAlloc(bytes);
    return at;
}

bool Emulator::load(const std::string &path, const ImportTable &imports, std::string &error)
{
    size_t slash = path.find_last_of("/\\");
    fileName_ = slash == std::string::npos ? path : path.substr(slash + 1);
    std::vector<uint8_t> bytes;
    if (!readFile(path, bytes, error))
        return false;
    if (!parseImage(bytes.data(), bytes.size(), image_, error))
        return false;
    if (!image_.isDll) {
        error = "not a DLL";
        return false;
    }
    if (!mapArena(error) ||
        !mapImage(bytes.data(), bytes.size(), image_, imageBase_, host_ + (imageBase_ - arena_), error))
        return false;
    for (const auto &e : image_.exports)
        exportsByAddress_[imageBase_ + e.second] = e.first;
    if (!bindImports(imports, error))
        return false;
    if (image_.entryRva) {
        CallOutcome r = call(imageBase_ + image_.entryRva, {imageBase_, 1, 0});
        if (!r.ok) {
            error = fileName_ + ": its start-up code failed: " + r.error;
            return false;
        }
        if (r.eax == 0) {
            error = fileName_ + ": its start-up code refused to load (DllMain returned FALSE)";
            return false;
        }
        attached_ = true;
    }
    return true;
}

void Emulator::unload()
{
    if (attached_ && !faulted())
        call(imageBase_ + image_.entryRva, {imageBase_, 0, 0});
    attached_ = false;
}

uint32_t Emulator::initTermAddress() const { return arena_ + INITTERM_CODE; }

uint32_t Emulator::exportAddress(const std::string &name) const
{
    auto it = image_.exports.find(name);
    return it == image_.exports.end() ? 0 : imageBase_ + it->second;
}

std::string Emulator::where(uint32_t addr) const
{
    if (addr < imageBase_ || addr - imageBase_ >= image_.sizeOfImage) {
        if (addr >= arena_ && addr - arena_ < THUNK_BYTES)
            return "in the import thunks";
        return "outside " + fileName_;
    }
    auto it = exportsByAddress_.upper_bound(addr);
    if (it != exportsByAddress_.begin()) {
        --it;
        char b[32];
        snprintf(b, sizeof b, "+0x%x", addr - it->first);
        return "near " + it->second + b;
    }
    char b[32];
    snprintf(b, sizeof b, "+0x%x", addr - imageBase_);
    return "in " + fileName_ + b;
}

void Emulator::raise(const std::string &what)
{
    if (pendingFault_.empty())
        pendingFault_ = what;
}

uint32_t Emulator::eax() const { return regRead(uc_, UC_X86_REG_EAX); }
uint32_t Emulator::stackPointer() const { return regRead(uc_, UC_X86_REG_ESP); }
uint32_t Emulator::arg(int i) const { return read32(stackPointer() + 4 + 4 * static_cast<uint32_t>(i)); }

void Emulator::onInterrupt(uc_struct *uc, uint32_t intno, void *self)
{
    (void)uc;
    static_cast<Emulator *>(self)->interrupt(intno);
}

void Emulator::interrupt(uint32_t intno)
{
    uint32_t eip = regRead(uc_, UC_X86_REG_EIP);
    uint32_t at = eip - 1; // the int3 that was just executed
    if (intno == 3 && at >= arena_ && at - arena_ < THUNK_BYTES && (at - arena_) % THUNK_SIZE == 0) {
        uint32_t slot = (at - arena_) / THUNK_SIZE;
        if (slot > 0 && slot < thunks_.size() && thunks_[slot].fn) {
            uint32_t r = thunks_[slot].fn(*this);
            if (pendingFault_.empty()) {
                regWrite(uc_, UC_X86_REG_EAX, r);
                return; // on to the thunk's ret
            }
            regWrite(uc_, UC_X86_REG_EIP, stopAddress_);
            return;
        }
    }
    raise(std::string(exceptionName(intno)) + " (interrupt " + std::to_string(intno) + ") at or just after " +
          hexAddress(intno == 3 ? at : eip) + " " + where(intno == 3 ? at : eip));
    regWrite(uc_, UC_X86_REG_EIP, stopAddress_);
}

bool Emulator::run(uint32_t begin, std::string &error)
{
    uint64_t done = 0;
    uint32_t pc = begin;
    for (;;) {
        uc_err e = uc_emu_start(uc_, pc, stopAddress_, 0, SLICE);
        uint32_t eip = regRead(uc_, UC_X86_REG_EIP);
        if (!pendingFault_.empty()) {
            error = pendingFault_;
            if (error.find(" at or just after ") == std::string::npos)
                error += ", at or just after " + hexAddress(eip) + " " + where(eip);
            return false;
        }
        if (e != UC_ERR_OK) {
            std::string what = e == UC_ERR_INSN_INVALID ? "invalid instruction" : uc_strerror(e);
            error = what + " at or just after " + hexAddress(eip) + " " + where(eip);
            return false;
        }
        if (eip == stopAddress_)
            return true;
        done += SLICE;
        if (done >= instructionBound_) {
            error = "no return after " + std::to_string(done) + " instructions (a runaway loop?), at " +
                    hexAddress(eip) + " " + where(eip);
            return false;
        }
        pc = eip;
    }
}

CallOutcome Emulator::call(uint32_t fn, const std::vector<uint32_t> &args)
{
    CallOutcome out;
    if (faulted()) {
        out.error = "the DLL is stopped after an earlier fault: " + fault_;
        return out;
    }
    uint32_t before = stackTop_;
    uint32_t sp = before - 4 * static_cast<uint32_t>(args.size());
    for (size_t i = 0; i < args.size(); ++i)
        write32(sp + 4 * static_cast<uint32_t>(i), args[i]);
    sp -= 4;
    write32(sp, stopAddress_);
    regWrite(uc_, UC_X86_REG_ESP, sp);
    regWrite(uc_, UC_X86_REG_EBP, 0);
    pendingFault_.clear();
    if (!run(fn, out.error)) {
        fault_ = out.error;
        return out;
    }
    out.ok = true;
    out.eax = regRead(uc_, UC_X86_REG_EAX);
    out.stackMoved = static_cast<int32_t>(regRead(uc_, UC_X86_REG_ESP) - before);
    return out;
}

} // namespace pe
