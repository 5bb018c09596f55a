#pragma once

#include <vector>

struct Neuron;

// One layer of the dense graph: its neurons in order, ordinary ones first and,
// in every layer but the last, the bias neuron last. Owns nothing; the
// neurons belong to the DenseStack.
struct DenseLayer {
    std::vector<Neuron*> neurons;
};
