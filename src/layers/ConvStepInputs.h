#pragma once

#include "layers/ActiveFields.h"
#include "layers/ConvFastLayout.h"
#include "layers/ConvGeometry.h"
#include "layers/ConvLanes.h"

// What every step of one fast convolution pass reads: the chosen lanes, the
// layer's geometry and fast layout, and this pass's active fields. Made on
// the calling thread before a batch; each step's own Inputs adds what the
// steps before it handed on.
struct ConvStepInputs {
    const ConvLanes* lanes = nullptr;
    const ConvGeometry* geometry = nullptr;
    const ConvFastLayout* layout = nullptr;
    const ActiveFields* active = nullptr;
};
