#include "api/HandleRegistry.h"

namespace {
const char* const kNullHandle = "null argument";
const char* const kUnknownHandle = "unknown handle";
const char* const kHandleInUse = "handle in use";
}  // namespace

HandleRegistry& HandleRegistry::Instance() {
    // Never destroyed: a host thread may still call in while the process
    // runs its exit handlers.
    static HandleRegistry* const registry = new HandleRegistry();
    return *registry;
}

void HandleRegistry::Add(const NetHandle* handle) {
    std::lock_guard<std::mutex> guard(lock_);
    inUse_[handle] = false;
}

bool HandleRegistry::Remove(const NetHandle* handle) {
    std::lock_guard<std::mutex> guard(lock_);
    const auto entry = inUse_.find(handle);
    if (entry == inUse_.end() || entry->second) return false;
    inUse_.erase(entry);
    return true;
}

bool HandleRegistry::Claim(const NetHandle* handle) {
    std::lock_guard<std::mutex> guard(lock_);
    const auto entry = inUse_.find(handle);
    if (entry == inUse_.end() || entry->second) return false;
    entry->second = true;
    return true;
}

void HandleRegistry::Unclaim(const NetHandle* handle) {
    std::lock_guard<std::mutex> guard(lock_);
    const auto entry = inUse_.find(handle);
    if (entry != inUse_.end()) entry->second = false;
}

HandleRegistry::Claimed::Claimed(NetHandle* handle) : handle_(handle) {
    if (handle == nullptr) throw kNullHandle;
    if (!Instance().Claim(handle)) {
        // Tell the two apart only for the reader of a trace; both refuse.
        std::lock_guard<std::mutex> guard(Instance().lock_);
        throw Instance().inUse_.count(handle) == 1 ? kHandleInUse : kUnknownHandle;
    }
}

HandleRegistry::Claimed::~Claimed() { Instance().Unclaim(handle_); }
