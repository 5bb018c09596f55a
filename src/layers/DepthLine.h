#pragma once

#include <vector>

// The values of all input maps of a convolution layer at one position, and
// the error shares that the last backward pass sent back through it.
// Owned by the layer; made once in Configure. The error shares are
// overwritten by each pass that reaches them, never cleared. (The layer's
// fast path may keep them in compact form for a while; the layer's
// ErrorShares gives them as they stand.)
class DepthLine {
  public:
    DepthLine(int inputCount, int outputCount)
        : inputs(inputCount, nullptr),
          errors(static_cast<size_t>(inputCount) * outputCount, 0.0f),
          inputCount(inputCount) {}

    // Shares sent by output map `output` to each input map, inputCount floats.
    float* ErrorRow(int output) { return errors.data() + static_cast<size_t>(output) * inputCount; }
    const float* ErrorRow(int output) const {
        return errors.data() + static_cast<size_t>(output) * inputCount;
    }

    std::vector<float*> inputs;  // entry k: this position in input map k
    std::vector<float> errors;   // outputCount rows of inputCount shares
    int inputCount;
    bool active = false;  // inside an active receptive field since the last backward
};
