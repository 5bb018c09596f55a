#include "dense/Neuron.h"

#include <cmath>

#include "dense/Connection.h"

void Neuron::Activate() {
    if (isBias) return;
    float sum = 0.0f;
    for (const Connection* in : inputs) sum += in->from->output * in->weight;
    Fire(sum);
}

void Neuron::Fire(float sum) {
    net = sum;
    if (activation == Rectifier) {
        // A NaN net fails `net <= 0` and passes through, so it is caught later.
        output = (net > 0.0f || std::isnan(net)) ? net : 0.01f;
    } else {
        output = 1.0f / (expf(-net) + 1.0f);
    }
}

float Neuron::Slope() const {
    if (activation == Rectifier) return (net > 0.0f || std::isnan(net)) ? 0.999f : 0.01f;
    return (1.0f - output) * output;
}
