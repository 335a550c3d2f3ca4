// Output areas with guard bytes on both sides, shared by the fuzz
// harnesses and the soak: anything written beside an operand shows up.
#ifndef TESTS_MODEL_GUARDED_H
#define TESTS_MODEL_GUARDED_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace fz {

// An output area with guard bytes on both sides.
template <size_t N> struct Guarded {
    uint8_t pre[32];
    alignas(8) uint8_t data[N];
    uint8_t post[32];

    void fill(uint8_t seed)
    {
        for (size_t i = 0; i < sizeof pre; ++i) {
            pre[i] = static_cast<uint8_t>(0xA5 ^ i);
            post[i] = static_cast<uint8_t>(0x5A ^ i);
        }
        for (size_t i = 0; i < N; ++i)
            data[i] = static_cast<uint8_t>(seed + 37 * i);
    }
    bool guardsIntact() const
    {
        for (size_t i = 0; i < sizeof pre; ++i)
            if (pre[i] != static_cast<uint8_t>(0xA5 ^ i) || post[i] != static_cast<uint8_t>(0x5A ^ i))
                return false;
        return true;
    }
};

inline bool sameBits(float a, float b) { return memcmp(&a, &b, sizeof a) == 0; }

} // namespace fz

#endif
