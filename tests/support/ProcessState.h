#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

// What the process holds right now, from /proc/self: its threads and its
// resident memory.
inline int ThreadCount() {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        (void)entry;
        ++count;
    }
    return count;
}

// The thread count once it is down to `expected`, or what is left after
// five seconds. A joined thread has finished running, but the kernel takes
// its entry out of /proc/self/task a moment after the join returns.
inline int ThreadCountDownTo(int expected) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int count = ThreadCount();
    while (count > expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        count = ThreadCount();
    }
    return count;
}

// The thread count to compare against later: starts and joins one thread
// first, because a runtime may add a helper thread of its own when the
// process starts its first thread (ThreadSanitizer does) and keep it.
inline int ThreadBaseline() {
    const int before = ThreadCount();
    std::thread([] {}).join();
    return ThreadCountDownTo(before);
}

// Threads a sanitizer's runtime may start by itself at any moment (the
// thread sanitizer's background thread); thread counts are compared within
// this margin.
#if defined(__SANITIZE_THREAD__)
constexpr int kRuntimeThreads = 1;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr int kRuntimeThreads = 1;
#else
constexpr int kRuntimeThreads = 0;
#endif
#else
constexpr int kRuntimeThreads = 0;
#endif

// VmRSS in KiB, or -1 when /proc/self/status has no such line.
inline long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

// VmSize (the address space in use) in KiB, or -1.
inline long AddressSpaceKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmSize:", 0) == 0) return std::stol(line.substr(7));
    return -1;
}
