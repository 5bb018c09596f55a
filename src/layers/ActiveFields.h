#pragma once

#include <cstddef>
#include <vector>

#include "layers/ReceptiveField.h"

// The fields a Forward selected, in the layer's field order. The fast field
// selection also lists each one's cell in the output planes and its lane in
// the fast path's blocks; any other selection leaves those lists empty, and
// the fast forward plan makes them.
struct ActiveFields {
    std::vector<ReceptiveField*> fields;
    std::vector<size_t> cells;
    std::vector<size_t> lanes;

    void Clear() {
        fields.clear();
        cells.clear();
        lanes.clear();
    }
    bool Listed() const { return cells.size() == fields.size() && lanes.size() == fields.size(); }
};
