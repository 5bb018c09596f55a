#pragma once

// The network's small formulas, written once for the reference and the fast
// paths. (src/common holds leaf helpers that every folder may include: they
// include nothing of the engine themselves.) Each function performs exactly
// the single-precision operations of the reference, in its order, so every
// caller computes the same bits; the vector lanes repeat them lane by lane.

// A target or input value kept in [0, 1]: above 1 gives 1, then below 0
// gives 0 (a NaN passes unchanged).
inline float ClampToUnit(float value) {
    if (value > 1.0f) value = 1.0f;
    if (value < 0.0f) value = 0.0f;
    return value;
}

// A convolution kernel's activation of bias + sum: not above 0 gives the
// slope itself (not slope times the total), above 1 gives 1.
inline float KernelActivation(float bias, float sum, float slope) {
    float x = bias + sum;
    if (!(x > 0.0f)) x = slope;
    if (x > 1.0f) x = 1.0f;
    return x;
}

// The kernel's derivative factor at its last output.
inline float KernelDerivative(float output, float slope) { return output <= 0.0f ? slope : 0.999f; }

// The kernel's learning step at one position: each weight moves by the step
// times its input, the bias by the step.
inline float KernelStep(float error, float rate, float derivative) {
    return (error * rate) * derivative;
}
