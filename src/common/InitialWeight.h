#pragma once

#include <cstdlib>

// Initial weights of kernels and dense connections: the next value r of the
// runtime's generator (never seeded by the library) as r / 32767 * 0.2 - 0.1
// in single precision, so every weight lies in [-0.1, 0.1].
//
// The formula expects r in 0 .. 32767. Where rand reaches further (glibc:
// 2^31 - 1), its top 15 bits are used; where RAND_MAX is 32767 this is rand
// itself. (A leaf helper: src/common includes nothing of the engine, so the
// layers and the dense stack alike may use it.)
inline int DrawRandom15() {
    constexpr unsigned long long kSpan = static_cast<unsigned long long>(RAND_MAX) + 1ULL;
    constexpr unsigned long long kStep = kSpan / 32768ULL;
    static_assert(kSpan % 32768ULL == 0ULL, "rand's range must be a multiple of 32768");
    return static_cast<int>(static_cast<unsigned long long>(std::rand()) / kStep);
}

inline float DrawInitialWeight() {
    return static_cast<float>(DrawRandom15()) / 32767.0f * 0.2f - 0.1f;
}
