#pragma once

#if defined(_MSC_VER)
#include <intrin.h>
#endif

#include <bitset>
#include <cstdint>

// Bit counting on 64-bit words, for the position bitmaps of the fast
// convolution path. (A leaf helper: src/common includes nothing of the engine.)

// The number of set bits of a word.
inline int PopCount(std::uint64_t bits) { return static_cast<int>(std::bitset<64>(bits).count()); }

// The position of the lowest set bit of a word that is not 0.
inline int LowestSetBit(std::uint64_t bits) {
#if defined(_MSC_VER)
    unsigned long index = 0;
    _BitScanForward64(&index, bits);
    return static_cast<int>(index);
#else
    return __builtin_ctzll(bits);
#endif
}
