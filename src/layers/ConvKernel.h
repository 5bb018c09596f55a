#pragma once

#include <array>
#include <opencv2/core.hpp>
#include <vector>

#include "layers/DepthLine.h"

// One sparse filter of a convolution layer; it computes one output map.
// The kernel reads a fixed selection of its window (its `pattern`: a line
// through the centre in one of four directions, or the full square) and, at
// every selected position, all input maps of the layer. It owns its weights,
// laid out pattern-entry major, input-map minor, with the bias last.
// It never owns depth lines: the layer hands it a window of borrowed lines.
// A kernel is used by one task at a time; nothing in it locks.
class ConvKernel {
  public:
    // index, size (s, s), number of input maps, kind 0-4, learning rate.
    // Draws weightCount + 1 initial weights from std::rand (never seeds it).
    ConvKernel(int index, cv::Size size, int inputCount, int kind, float rate = 0.03f);

    // window: the layer's depth lines of one receptive field in window (ring)
    // order, nullptr where the position lies outside the input. Its length is
    // the square of the layer's largest kernel width, so at least width^2.
    // Stores the activation in `output` and returns it.
    float Respond(const std::vector<DepthLine*>& window);
    // Slope of the activation at the last output.
    float DerivativeFactor() const;
    // One online learning step towards `target` at one output position.
    void Learn(float target, const std::vector<DepthLine*>& window);
    // Writes this kernel's error shares into line->ErrorRow(index) of every
    // line its pattern reaches; returns the absolute error.
    float ErrorShare(float target, const std::vector<DepthLine*>& window);

    // Offsets (dx, dy) of window numbers 0 .. width*width-1 in ring order,
    // for an odd width.
    static std::vector<cv::Point> WindowOffsets(int width);

    int Index() const { return index; }
    float Slope() const { return slope; }
    float Rate() const { return rate; }
    void SetRate(float value) { rate = value; }
    // Pattern length times input map count (the bias not counted).
    int WeightCount() const { return weightCount; }
    // The activation of the last response.
    float Output() const { return output; }
    // For a fast path that computed the response itself.
    void SetOutput(float value) { output = value; }
    // weightCount weights, then the bias.
    const std::vector<float>& Weights() const { return weights; }
    float Bias() const { return weights[static_cast<size_t>(weightCount)]; }
    // The same, to write: for the kernel's owner, which keeps any copies of
    // them right (a layer shows its kernels to others only as const).
    float* MutableWeights() { return weights.data(); }
    int Kind() const { return kind; }
    int Width() const { return width; }
    int Height() const { return height; }
    // The window numbers the kernel reads, in the order of its weights.
    const std::vector<int>& Pattern() const { return pattern; }
    int InputCount() const { return inputCount; }

  private:
    int index;
    float slope;
    float rate;
    int weightCount;
    float output = 0.0f;
    std::vector<float> weights;
    int kind;
    int width;
    int height;
    std::vector<int> pattern;
    int inputCount;
    // Window numbers of the four line kinds (horizontal, vertical, rising and
    // falling diagonal), centre first, then outwards.
    std::array<std::array<int, 7>, 4> lineTables;
};
