#pragma once

#include <mutex>
#include <unordered_map>

struct NetHandle;

// The handles that CreateCorvane gave out and ReleaseCorvane has not yet
// taken back, each marked while a call is working on it. Every exported
// function claims its handle here first, so a pointer that is not a live
// handle (released already, or never made by this library), or a handle
// that another host thread is using at that moment, is refused instead of
// being used. Safe to use from any number of host threads; one
// process-wide instance, never destroyed.
class HandleRegistry {
  public:
    static HandleRegistry& Instance();

    void Add(const NetHandle* handle);
    // Takes the handle out; false when it is unknown or in use.
    bool Remove(const NetHandle* handle);
    // Marks the handle in use; false when it is unknown or already in use.
    bool Claim(const NetHandle* handle);
    void Unclaim(const NetHandle* handle);

    // Holds a handle for the length of one call. Throws "null argument",
    // "unknown handle" or "handle in use" when it cannot be had.
    class Claimed {
      public:
        explicit Claimed(NetHandle* handle);
        ~Claimed();
        Claimed(const Claimed&) = delete;
        Claimed& operator=(const Claimed&) = delete;
        NetHandle& operator*() const { return *handle_; }
        NetHandle* operator->() const { return handle_; }

      private:
        NetHandle* handle_;
    };

  private:
    HandleRegistry() = default;

    std::mutex lock_;
    std::unordered_map<const NetHandle*, bool> inUse_;  // every live handle
};
