#pragma once

struct Neuron;

// One weighted edge of the dense graph, from a neuron of one layer to an
// ordinary neuron of the next. Owned by the DenseStack's `connections`; the
// neuron pointers are non-owning and `to` is never a bias neuron.
struct Connection {
    Neuron* from = nullptr;
    Neuron* to = nullptr;
    float weight = 0.0f;
};
