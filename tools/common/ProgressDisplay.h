#pragma once

#include <cstddef>
#include <ostream>
#include <string>

// Training progress: samples done, samples per second, time left and the
// running mean loss of the epoch. On a terminal it rewrites one line a few
// times a second; into a file or pipe it writes a plain line now and then, so
// that logs stay readable.
class ProgressDisplay {
  public:
    struct State {
        std::size_t epoch;  // counted from 1
        std::size_t epochs;
        std::size_t done;       // samples done in this run, all epochs
        std::size_t total;      // samples the whole run will do
        double elapsedSeconds;  // since the run started
        double meanLoss;        // of this epoch so far
    };

    ProgressDisplay(std::ostream& out, bool terminal);

    // Shows the state if enough time has passed since the last line.
    void Update(const State& state);
    // Shows the state now and ends the line.
    void Finish(const State& state);

    // "epoch 1/2  50/200 samples  5.0/s  ETA 0:30  loss 0.2500"; the epoch
    // only when there is more than one.
    static std::string Line(const State& state);
    // Seconds as m:ss, or h:mm:ss from an hour on.
    static std::string Clock(double seconds);

    // Whether standard output is a terminal.
    static bool StdoutIsTerminal();

  private:
    std::ostream& out_;
    bool terminal_;
    double lastShown_ = -1.0;
    std::size_t lastLength_ = 0;
};
