#pragma once

// A hint to start loading memory that is needed soon; results never depend on
// it. (A leaf helper: src/common includes nothing of the engine, so every
// folder may use it.)
inline void Prefetch(const void* address) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(address);
#else
    (void)address;
#endif
}
