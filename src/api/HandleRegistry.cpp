#include "api/HandleRegistry.h"

HandleRegistry& HandleRegistry::Instance() {
    // Never destroyed: a host thread may still call in while the process
    // runs its exit handlers.
    static HandleRegistry* const registry = new HandleRegistry();
    return *registry;
}

void HandleRegistry::Add(const NetHandle* handle) {
    std::lock_guard<std::mutex> guard(lock_);
    handles_.insert(handle);
}

bool HandleRegistry::Remove(const NetHandle* handle) {
    std::lock_guard<std::mutex> guard(lock_);
    return handles_.erase(handle) == 1;
}

bool HandleRegistry::Contains(const NetHandle* handle) const {
    std::lock_guard<std::mutex> guard(lock_);
    return handles_.count(handle) == 1;
}
