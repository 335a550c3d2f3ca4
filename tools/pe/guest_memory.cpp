// The guest's memory as the emulator's own code reads and writes it: the
// arena's bytes by guest address, words and strings, the scratch area of
// the calls into the DLL, and the small heap of its C runtime.
#include <algorithm>
#include <cstring>

#include "emulator.h"

namespace pe {

uint8_t *Emulator::span(uint32_t addr, uint32_t len) const
{
    if (addr < arena_ || addr - arena_ > arenaSize_ || len > arenaSize_ - (addr - arena_))
        return nullptr;
    return host_ + (addr - arena_);
}

uint32_t Emulator::read32(uint32_t addr) const
{
    const uint8_t *p = span(addr, 4);
    if (!p) {
        const_cast<Emulator *>(this)->raise("read of unmapped memory at " + hexAddress(addr));
        return 0;
    }
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}

void Emulator::write32(uint32_t addr, uint32_t v)
{
    uint8_t *p = span(addr, 4);
    if (!p) {
        raise("write to unmapped memory at " + hexAddress(addr));
        return;
    }
    memcpy(p, &v, 4);
}

bool Emulator::string(uint32_t addr, std::string &s, size_t max) const
{
    s.clear();
    const uint8_t *p = span(addr, 1);
    if (!p)
        return false;
    size_t room = std::min<size_t>(max + 1, arenaSize_ - (addr - arena_));
    const void *nul = memchr(p, 0, room);
    if (!nul)
        return false;
    s.assign(reinterpret_cast<const char *>(p), static_cast<size_t>(static_cast<const uint8_t *>(nul) - p));
    return true;
}

void Emulator::scratchReset() { scratchNext_ = scratchBase_; }

uint32_t Emulator::scratch(uint32_t bytes)
{
    uint32_t at = (scratchNext_ + 7) & ~7u;
    if (at > scratchEnd_ || bytes > scratchEnd_ - at)
        return 0;
    scratchNext_ = at + bytes;
    memset(host_ + (at - arena_), 0, bytes);
    return at;
}

// The heap never gives memory back: the C runtime of the DLL allocates a
// few small tables at start-up and nothing afterwards.  Each block keeps its
// size in the word before it.
uint32_t Emulator::heapAlloc(uint32_t bytes)
{
    uint32_t at = (heapNext_ + 4 + 15) & ~15u;
    if (at > heapEnd_ || bytes > heapEnd_ - at)
        return 0;
    heapNext_ = at + bytes;
    write32(at - 4, bytes);
    memset(host_ + (at - arena_), 0, bytes);
    return at;
}

uint32_t Emulator::heapRealloc(uint32_t addr, uint32_t bytes)
{
    uint32_t fresh = heapAlloc(bytes);
    if (fresh && addr) {
        uint32_t old = read32(addr - 4);
        memcpy(host_ + (fresh - arena_), host_ + (addr - arena_), std::min(old, bytes));
    }
    return fresh;
}

} // namespace pe
