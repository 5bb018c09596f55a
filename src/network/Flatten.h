#pragma once

#include <vector>

#include "layers/FeatureMap.h"

// The link from the last feature maps to the dense inputs: one pointer per
// dense input into the planes of the last layer's maps, maps in order, rows
// in order within a map. The classifier reads the feature values through
// these pointers, and training writes its targets back the same way.
struct Flatten {
    // Fills `cells` from `maps`; throws "Flatten: Image size missmatch" when
    // the first map is not width x height.
    void Gather();
    // Copies the targets back into the planes of `maps`, plane by plane;
    // throws "Feature map mismatch" when they do not make whole planes for
    // every map.
    void Scatter(std::vector<float> values);

    FeatureMaps* maps = nullptr;  // not owned: the last layer's output list
    int width = 0;
    int height = 0;
    std::vector<float*> cells;  // not owned: cellCount entries into the planes
    int cellCount = 0;
};
