#pragma once

#include <vector>

#include "layers/DepthLine.h"

// One output position of a convolution layer: the centre of its window in
// input coordinates (where the mask is sampled), the output cell it writes,
// and the window's depth lines in ring order (null outside the input). Made
// once by the layer's Configure; the lines are the layer's.
struct ReceptiveField {
    int centerX = 0;
    int centerY = 0;
    int column = 0;
    int row = 0;
    std::vector<DepthLine*> lines;
};
