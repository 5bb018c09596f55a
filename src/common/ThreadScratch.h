#pragma once

// Working memory of the calling thread: one T per thread, made at its first
// use and kept until the thread ends. Its vectors only grow, so after the
// first passes a task allocates nothing. (A leaf helper: src/common
// includes nothing of the engine.)
template <typename T>
T& ThreadScratch() {
    thread_local T scratch;
    return scratch;
}
