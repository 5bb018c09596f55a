#pragma once

#include <cstddef>

// Watches the steps of the network's passes, for example to time them.
// Begin and End come on the calling thread around each layer's Forward and
// Backward (`layer` is its place in the network's list) and around the dense
// stack's forward and backward halves (`layer` 0). The network never owns its
// observer, and with none it does nothing but test for it.
class PassObserver {
  public:
    enum class Step { Forward, Backward, DenseForward, DenseBackward };
    virtual void Begin(Step step, size_t layer) = 0;
    virtual void End(Step step, size_t layer) = 0;

    // One step: Begin when made, End when it goes out of scope (also when
    // the step throws), on `observer` unless it is null.
    class Scope {
      public:
        Scope(PassObserver* observer, Step step, size_t layer)
            : observer(observer), step(step), layer(layer) {
            if (observer != nullptr) observer->Begin(step, layer);
        }
        ~Scope() {
            if (observer != nullptr) observer->End(step, layer);
        }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

      private:
        PassObserver* observer;
        Step step;
        size_t layer;
    };

  protected:
    ~PassObserver() = default;
};
