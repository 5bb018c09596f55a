#include "dense/DenseStack.h"

#include <cmath>
#include <cstdlib>
#include <iostream>

#include "common/Formulas.h"
#include "common/InitialWeight.h"
#include "common/Prefetch.h"

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

    firstConnection.clear();
    for (size_t i = 0; i + 1 < layerCount; ++i) {
        firstConnection.push_back(connections.size());
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
    for (size_t i = 1; i < layers.size(); ++i) ActivateLayer(i);

    std::vector<float> result;
    result.reserve(layers.back().neurons.size());
    for (const Neuron* neuron : layers.back().neurons) result.push_back(neuron->output);
    return result;
}

// Build joins every neuron of a layer to the ordinary neurons of the next,
// in their order, and lists the connections in that order from
// firstConnection[i - 1] on: connection k of each neuron goes to ordinary
// neuron k of layer i (the bias comes last there), and that neuron's inputs
// come in the order of the neurons they leave. So each sum below takes the
// same terms in the same order as Neuron::Activate, while the sums of the
// whole layer advance together and the connections are read in the order
// they were made.
void DenseStack::ActivateLayer(size_t i) {
    const std::vector<Neuron*>& targets = layers[i].neurons;
    const size_t fan = static_cast<size_t>(layerSizes[i]);
    layerSums.assign(fan, 0.0f);
    // A pass starts with the connections out of cache: ask for them a few
    // neurons ahead (two records share a cache line).
    constexpr size_t kAhead = 8;
    size_t first = firstConnection[i - 1];
    for (const Neuron* source : layers[i - 1].neurons) {
        const size_t ahead = first + kAhead * fan;
        for (size_t k = 0; k < fan && ahead + k < connections.size(); k += 2)
            Prefetch(connections[ahead + k].get());
        const float value = source->output;
        for (size_t k = 0; k < fan; ++k)
            layerSums[k] = layerSums[k] + value * connections[first + k]->weight;
        first += fan;
    }
    for (size_t k = 0; k < fan; ++k) targets[k]->Fire(layerSums[k]);
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
    // Connection k of every neuron goes to neuron k of the next layer (see
    // ActivateLayer), whose error is read from a copy.
    for (size_t i = layers.size() - 1; i-- > 0;) {
        const std::vector<Neuron*>& targets = layers[i + 1].neurons;
        const size_t fan = static_cast<size_t>(layerSizes[i + 1]);
        targetErrors.resize(fan);
        for (size_t k = 0; k < fan; ++k) targetErrors[k] = targets[k]->error;
        const std::unique_ptr<Connection>* connection = connections.data() + firstConnection[i];
        for (Neuron* neuron : layers[i].neurons) {
            float sum = 0.0f;
            for (size_t k = 0; k < fan; ++k) sum += targetErrors[k] * connection[k]->weight;
            neuron->error = sum;
            connection += fan;
        }
    }
}

void DenseStack::UpdateWeights() {
    // Nothing but weights changes here, so each target's slope and
    // (error x rate) x slope are the same for all its inputs: they are
    // worked out once, and checked where each connection would check them.
    for (size_t i = 0; i + 1 < layers.size(); ++i) {
        const std::vector<Neuron*>& targets = layers[i + 1].neurons;
        const size_t fan = static_cast<size_t>(layerSizes[i + 1]);
        targetSlopes.resize(fan);
        targetSteps.resize(fan);
        for (size_t k = 0; k < fan; ++k) {
            targetSlopes[k] = targets[k]->Slope();
            targetSteps[k] = (targets[k]->error * learningRate) * targetSlopes[k];
        }
        const std::unique_ptr<Connection>* connection = connections.data() + firstConnection[i];
        for (const Neuron* from : layers[i].neurons) {
            const float value = from->output;
            for (size_t k = 0; k < fan; ++k) {
                ThrowIfNotFinite(targetSlopes[k]);
                float& weight = connection[k]->weight;
                weight = targetSteps[k] * value + weight;
                ThrowIfNotFinite(weight);
            }
            connection += fan;
        }
    }
}

void DenseStack::ComputeInputFeedback() {
    const std::vector<Neuron*>& first = layers.front().neurons;
    for (size_t k = 0; k + 1 < first.size(); ++k) {
        inputFeedback[k] = ClampToUnit(first[k]->output + first[k]->error);
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
    firstConnection.clear();
    connections.clear();
    neurons.clear();
    layers.clear();
}
