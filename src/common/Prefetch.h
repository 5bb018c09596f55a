#pragma once

// A hint to start loading memory that is needed soon; results never depend on it.
inline void Prefetch(const void* address) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(address);
#else
    (void)address;
#endif
}
