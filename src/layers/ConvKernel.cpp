#include "layers/ConvKernel.h"

#include <cmath>
#include <cstdlib>
#include <iostream>

#include "common/Formulas.h"
#include "common/InitialWeight.h"

ConvKernel::ConvKernel(int index, cv::Size size, int inputCount, int kind, float rate)
    : index(index),
      slope(0.01f),
      rate(rate),
      weightCount(0),
      kind(kind),
      width(size.width),
      height(size.height),
      inputCount(inputCount),
      lineTables{{{0, 4, 5, 16, 17, 36, 37},
                  {0, 2, 7, 11, 22, 28, 45},
                  {0, 3, 6, 13, 20, 31, 42},
                  // Entry 3 is (-1, 0), not (-2, -2): saved networks were
                  // trained with this shape, so it stays.
                  {0, 1, 8, 4, 24, 25, 48}}} {
    const int lineLength = static_cast<int>(lineTables[0].size());
    if (kind < 0 || kind > 4 || width < 1 || (kind < 4 && width > lineLength)) {
        throw "ConvKernel: unsupported kind or size";
    }
    if (kind < 4) {
        pattern.assign(lineTables[kind].begin(), lineTables[kind].begin() + width);
    } else {
        // The first width^2 ring numbers are exactly the width x width square.
        for (int number = 0; number < width * height; ++number) pattern.push_back(number);
    }
    weightCount = static_cast<int>(pattern.size()) * inputCount;

    weights.reserve(static_cast<size_t>(weightCount) + 1);
    for (int i = 0; i <= weightCount; ++i) {
        weights.push_back(DrawInitialWeight());
    }
}

float ConvKernel::Respond(const std::vector<DepthLine*>& window) {
    float sum = 0.0f;
    // Invariant: sum holds the products of all earlier pattern entries (all
    // inputs) and of the earlier inputs of entry j, added in exactly that order.
    for (size_t j = 0; j < pattern.size(); ++j) {
        const DepthLine* line = window[pattern[j]];
        if (line == nullptr) continue;
        const float* entryWeights = weights.data() + j * inputCount;
        for (int k = 0; k < inputCount; ++k) {
            sum = *line->inputs[k] * entryWeights[k] + sum;
            if (std::isnan(sum)) throw "ReLU: invalid value";
        }
    }
    output = KernelActivation(weights[weightCount], sum, slope);
    return output;
}

float ConvKernel::DerivativeFactor() const { return KernelDerivative(output, slope); }

void ConvKernel::Learn(float target, const std::vector<DepthLine*>& window) {
    const float err = target - Respond(window);
    const float step = KernelStep(err, rate, DerivativeFactor());
    // Invariant: every weight of the entries before j (with a line) and of the
    // inputs before k has taken its step; null entries keep their weights.
    for (size_t j = 0; j < pattern.size(); ++j) {
        const DepthLine* line = window[pattern[j]];
        if (line == nullptr) continue;
        float* entryWeights = weights.data() + j * inputCount;
        for (int k = 0; k < inputCount; ++k) {
            entryWeights[k] = step * *line->inputs[k] + entryWeights[k];
            if (std::isnan(entryWeights[k]) || std::isinf(entryWeights[k])) {
                std::cout << "NAN exception" << std::endl;
                throw "ReLu: NAN exception";
            }
        }
    }
    weights[weightCount] = step + weights[weightCount];
}

float ConvKernel::ErrorShare(float target, const std::vector<DepthLine*>& window) {
    const float err = target - Respond(window);
    // Invariant: the shares of every line reached so far are overwritten with
    // this pass's values; earlier passes' shares are never added in.
    for (size_t j = 0; j < pattern.size(); ++j) {
        DepthLine* line = window[pattern[j]];
        if (line == nullptr) continue;
        const float* entryWeights = weights.data() + j * inputCount;
        float* shares = line->ErrorRow(index);
        for (int k = 0; k < inputCount; ++k) shares[k] = err * entryWeights[k];
    }
    return std::fabs(err);
}

std::vector<cv::Point> ConvKernel::WindowOffsets(int width) {
    std::vector<cv::Point> offsets;
    // Ring by ring from the centre, so that the first n*n numbers of any odd n
    // form the n x n square and kernels of different sizes share one window.
    for (int ring = 1; ring <= width; ring += 2) {
        const int half = ring / 2;
        for (int dy = -half; dy <= half; ++dy) {
            for (int dx = -half; dx <= half; ++dx) {
                if (dx == -half || dx == half || dy == -half || dy == half) {
                    offsets.emplace_back(dx, dy);
                }
            }
        }
    }
    return offsets;
}
