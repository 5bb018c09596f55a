#pragma once

// While alive, Ctrl-C (SIGINT) no longer ends the process but raises a flag
// that a long loop polls between steps, so it can stop at a clean point and
// save. The previous handler comes back on destruction.
class InterruptFlag {
  public:
    InterruptFlag();
    ~InterruptFlag();
    InterruptFlag(const InterruptFlag&) = delete;
    InterruptFlag& operator=(const InterruptFlag&) = delete;

    bool Raised() const;

  private:
    void (*previous_)(int);
};
