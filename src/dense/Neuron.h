#pragma once

#include <cstdint>
#include <vector>

struct Connection;

// Activation codes of a dense layer, as stored in `Neuron::activation`.
enum ActivationCode : std::int32_t { Rectifier = 0, Sigmoid = 1 };

// One unit of the dense graph. Owned by the DenseStack's `neurons`; its
// connection lists are non-owning and keep creation order. A bias neuron
// holds 1.0 in `output` and `net`, never has inputs, and is never changed.
struct Neuron {
    Neuron() = default;
    Neuron(std::int32_t code, bool bias)
        : isBias(bias), output(bias ? 1.0f : 0.0f), net(bias ? 1.0f : 0.0f), activation(code) {}

    // Recomputes `net` from the inputs and `output` from `net`; a bias
    // neuron is left as it is.
    void Activate();
    // Takes `sum` as `net` and sets `output` from it, as Activate does with
    // the sum of its inputs.
    void Fire(float sum);
    // Derivative of the activation at the last `net` / `output`, as used when
    // this neuron is the target of a weight update.
    float Slope() const;

    bool isBias = false;
    std::vector<Connection*> inputs;
    std::vector<Connection*> outputs;
    float output = 0.0f;
    float error = 0.0f;
    float net = 0.0f;
    std::int32_t activation = Sigmoid;
};
