#pragma once

#include <cstddef>
#include <vector>

#include "layers/ConvFastLayout.h"
#include "layers/ConvGeometry.h"
#include "layers/ConvLanes.h"
#include "layers/FeatureMap.h"
#include "layers/ReceptiveField.h"

// The input planes of a convolution layer as its fast path reads them: the
// planes the depth lines were last linked to, and the copies of their values
// laid out for vector lanes. A copy is made on the calling thread before the
// batch that reads it and handed on as a Copy value: the forward plan makes
// one, the update reads the forward's while the inputs have not changed, or
// has one made afresh.
class ConvInputCopies {
  public:
    // Where a step finds the input values; a value passed from step to step.
    struct Copy {
        // Padded: the padded, phase-split planes (ConvFastLayout); Packed:
        // position-major, position y * inputWidth + x holding its maps'
        // values packedStride apart; Planes: the linked planes themselves,
        // one after another; None: no copy (the forward gathers from the
        // linked planes).
        enum class Kind { None, Padded, Packed, Planes };
        Kind kind = Kind::None;
        const float* values = nullptr;
        size_t stride = 1;   // floats from input map k's value to map k + 1's
        size_t rowStep = 0;  // Planes: floats per row; Packed: positions per row

        // The pattern entries whose window position lies inside the input at
        // `field`, in order: where their inputs start in this copy (`stride`
        // apart) and their j. Returns their count. Not for None.
        int Entries(const ReceptiveField& field, const std::vector<int>& pattern,
                    const ConvFastLayout& layout, const float** inputs, int* entries) const;
    };

    void Configure(int inputCount);
    // The copies' memory, made at the first fast pass rather than in
    // Configure, so that a layer the reference runs does not carry it.
    void Allocate(const ConvGeometry& geometry, const ConvFastLayout& layout);
    void Release();

    // Records the planes the layer's depth lines were just linked to.
    void Link(const FeatureMaps& inputs, const ConvFastLayout& layout, int inputHeight);
    // Whether linking to `inputs` would record the planes recorded now.
    bool LinkedTo(const FeatureMaps& inputs) const;

    // Copies the linked planes' values into the padded planes, or into the
    // position-major copy; or hands out the linked planes as they lie.
    Copy Padded(const ConvGeometry& geometry, const ConvFastLayout& layout);
    Copy Packed(const ConvLanes& lanes, const ConvGeometry& geometry, const ConvFastLayout& layout);
    Copy InPlace() const;

    // Row 0 and the row step of each linked plane.
    const std::vector<float*>& Rows() const { return inputRows; }
    const std::vector<size_t>& Steps() const { return inputSteps; }
    // Whether the gathered forward may read the linked planes themselves
    // (one row step, offsets within 32 bits), each window number
    // WindowShift() floats from a lane's centre.
    bool GatherFromPlanes() const { return gatherFromPlanes; }
    const std::vector<int>& WindowShift() const { return windowShift; }
    // Whether input map k's plane starts k * planeDistance floats after
    // map 0's, for every k, so that InPlace serves the update.
    bool InOneBlock() const { return planesInOneBlock; }

  private:
    std::vector<float*> inputRows;
    std::vector<size_t> inputSteps;
    bool gatherFromPlanes = false;
    std::vector<int> windowShift;
    bool planesInOneBlock = false;
    size_t planeDistance = 0;
    std::vector<float> planes;        // padded, phase-split
    std::vector<float> packedInputs;  // position-major
};
