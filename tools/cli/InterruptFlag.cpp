#include "cli/InterruptFlag.h"

#include <atomic>
#include <csignal>

namespace {

// Lock-free, so it may be stored from a signal handler.
std::atomic<bool> raised{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the flag is set from a signal handler");

extern "C" void OnInterrupt(int) { raised.store(true); }

}  // namespace

InterruptFlag::InterruptFlag() {
    raised.store(false);
    previous_ = std::signal(SIGINT, OnInterrupt);
}

InterruptFlag::~InterruptFlag() { std::signal(SIGINT, previous_ == SIG_ERR ? SIG_DFL : previous_); }

bool InterruptFlag::Raised() const { return raised.load(); }
