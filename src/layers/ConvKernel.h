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
