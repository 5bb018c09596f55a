#pragma once

#include <algorithm>
#include <vector>

#include "layers/DepthLine.h"

// After a depth-line batch, drops from the queue of active lines those the
// batch has cleared. On success that empties it; if a task failed, the
// lines it never reached stay queued, so the queue keeps holding exactly the
// active lines.
class ActiveLineSweep {
  public:
    explicit ActiveLineSweep(std::vector<DepthLine*>& queue) : queue(queue) {}
    ~ActiveLineSweep() {
        queue.erase(std::remove_if(queue.begin(), queue.end(),
                                   [](const DepthLine* line) { return !line->active; }),
                    queue.end());
    }
    ActiveLineSweep(const ActiveLineSweep&) = delete;
    ActiveLineSweep& operator=(const ActiveLineSweep&) = delete;

  private:
    std::vector<DepthLine*>& queue;
};
