#pragma once

#include <mutex>
#include <unordered_set>

struct NetHandle;

// The handles that CreateCorvane gave out and ReleaseCorvane has not yet
// taken back. The exported functions look every handle up here first, so a
// pointer that is not a live handle (released already, or never made by
// this library) is refused instead of being used. Safe to use from any
// number of host threads; one process-wide instance.
class HandleRegistry {
  public:
    static HandleRegistry& Instance();

    void Add(const NetHandle* handle);
    // False when the handle was not registered.
    bool Remove(const NetHandle* handle);
    bool Contains(const NetHandle* handle) const;

  private:
    HandleRegistry() = default;

    mutable std::mutex lock_;
    std::unordered_set<const NetHandle*> handles_;
};
