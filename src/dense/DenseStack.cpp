#include "dense/DenseStack.h"

#include <cmath>
#include <cstdlib>
#include <iostream>

#include "network/InitialWeight.h"

namespace {

void ThrowIfNotFinite(float value) {
    if (!std::isfinite(value)) {
        std::cout << "NAN exception" << std::endl;
        throw "is NAN";
    }
}

}  // namespace

void DenseStack::Build(const std::vector<std::int32_t>& sizes,
                       const std::vector<std::int32_t>& codes, float rate) {
    if (codes.size() != sizes.size()) throw "layer activation mismatch";
    if (sizes.size() < 2) throw "dense stack needs at least two layers";
    for (std::int32_t size : sizes)
        if (size < 1) throw "dense layer size must be at least 1";
    for (std::int32_t code : codes)
        if (code != Rectifier && code != Sigmoid) throw "unknown dense activation code";

    Clear();
    activations = codes;
    learningRate = rate;
    layerSizes = sizes;
    inputFeedback.resize(static_cast<size_t>(sizes[0]), 0.0f);

    const size_t layerCount = sizes.size();
    layers.resize(layerCount);
    for (size_t i = 0; i < layerCount; ++i) {
        const bool withBias = i + 1 < layerCount;
        const size_t count = static_cast<size_t>(sizes[i]) + (withBias ? 1 : 0);
        layers[i].neurons.reserve(count);
        for (size_t k = 0; k < count; ++k) {
            const bool isBias = withBias && k + 1 == count;
            neurons.push_back(std::make_unique<Neuron>(codes[i], isBias));
            layers[i].neurons.push_back(neurons.back().get());
        }
    }

    for (size_t i = 0; i + 1 < layerCount; ++i) {
        for (Neuron* from : layers[i].neurons) {
            for (Neuron* to : layers[i + 1].neurons) {
                if (to->isBias) continue;
                connections.push_back(
                    std::make_unique<Connection>(Connection{from, to, DrawInitialWeight()}));
                Connection* made = connections.back().get();
                from->outputs.push_back(made);
                to->inputs.push_back(made);
            }
        }
    }
}

std::vector<float> DenseStack::Forward(const std::vector<float*>& inputs) {
    std::vector<Neuron*>& first = layers.front().neurons;
    if (inputs.size() != first.size() - 1) {
        std::cout << "Input mismatch" << std::endl;
        throw "Input mismatch";
    }
    for (size_t k = 0; k < inputs.size(); ++k) {
        first[k]->output = *inputs[k];
        first[k]->net = *inputs[k];
    }
    for (size_t i = 1; i + 1 < layers.size(); ++i)
        for (Neuron* neuron : layers[i].neurons) neuron->Activate();

    std::vector<float> result;
    result.reserve(layers.back().neurons.size());
    for (Neuron* neuron : layers.back().neurons) {
        neuron->Activate();
        result.push_back(neuron->output);
    }
    return result;
}

float DenseStack::SetOutputErrors(const std::vector<float>& targets) {
    const std::vector<Neuron*>& last = layers.back().neurons;
    float sum = 0.0f;
    for (size_t k = 0; k < last.size(); ++k) {
        last[k]->error = targets[k] - last[k]->output;
        sum += std::fabs(last[k]->error);
    }
    return sum / static_cast<float>(last.size());
}

void DenseStack::PropagateErrors() {
    // Going backwards, every `to` already holds its error for this sample.
    for (size_t i = layers.size() - 1; i-- > 0;) {
        for (Neuron* neuron : layers[i].neurons) {
            float sum = 0.0f;
            for (const Connection* out : neuron->outputs) sum += out->to->error * out->weight;
            neuron->error = sum;
        }
    }
}

void DenseStack::UpdateWeights() {
    for (const DenseLayer& layer : layers) {
        for (const Neuron* from : layer.neurons) {
            for (Connection* out : from->outputs) {
                const float slope = out->to->Slope();
                ThrowIfNotFinite(slope);
                out->weight =
                    ((out->to->error * learningRate) * slope) * from->output + out->weight;
                ThrowIfNotFinite(out->weight);
            }
        }
    }
}

void DenseStack::ComputeInputFeedback() {
    const std::vector<Neuron*>& first = layers.front().neurons;
    for (size_t k = 0; k + 1 < first.size(); ++k) {
        float value = first[k]->output + first[k]->error;
        if (value > 1.0f) value = 1.0f;
        if (value < 0.0f) value = 0.0f;
        inputFeedback[k] = value;
    }
}

std::vector<float*> DenseStack::WeightSlots() {
    std::vector<float*> slots;
    slots.reserve(connections.size());
    for (const std::unique_ptr<Connection>& connection : connections)
        slots.push_back(&connection->weight);
    return slots;
}

void DenseStack::Clear() {
    connections.clear();
    neurons.clear();
    layers.clear();
}
