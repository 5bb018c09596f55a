#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "dense/Connection.h"
#include "dense/DenseLayer.h"
#include "dense/Neuron.h"

// The fully connected classifier: an explicit graph of neurons joined by
// weighted connections, grouped into layers from input to output. Every
// layer but the last ends with a bias neuron connected to every ordinary
// neuron of the next layer.
//
// Owns every neuron and connection through `neurons` and `connections`;
// their addresses stay stable until `Clear` or destruction, so pointers from
// `WeightSlots` stay valid for the life of a build. Not copyable.
//
// Training is one sample at a time, always in this order on the same sample:
// Forward, SetOutputErrors, PropagateErrors, UpdateWeights, then
// ComputeInputFeedback. Forward, the training steps and WeightSlots expect
// a built stack. Runs on the caller's thread only; takes no lock.
class DenseStack {
  public:
    DenseStack() = default;
    DenseStack(const DenseStack&) = delete;
    DenseStack& operator=(const DenseStack&) = delete;
    DenseStack(DenseStack&&) = default;
    DenseStack& operator=(DenseStack&&) = default;

    // Creates the graph with fresh weights in [-0.1, 0.1] drawn from
    // std::rand (never seeded here). Every check comes first: a length
    // mismatch throws "layer activation mismatch"; fewer than two layers, a
    // layer size below 1 or a code other than Rectifier/Sigmoid throw a plain
    // text too; in all these cases nothing changes. A stack that is already
    // built is cleared first, so Build is safe to call at any time.
    void Build(const std::vector<std::int32_t>& layerSizes,
               const std::vector<std::int32_t>& activations, float learningRate);

    // Reads one value through each pointer (no copy is kept) and returns the
    // last layer's outputs. Prints and throws "Input mismatch" unless there
    // is one pointer per ordinary neuron of the first layer.
    std::vector<float> Forward(const std::vector<float*>& inputs);

    // Sets each output error to target minus output and returns the mean
    // absolute error. The caller passes one target per output neuron.
    float SetOutputErrors(const std::vector<float>& targets);

    // Sends the errors back through the current weights to every earlier
    // neuron, bias included. The activation slope is applied later, in
    // UpdateWeights.
    void PropagateErrors();

    // One gradient step on every weight. Prints "NAN exception" and throws
    // "is NAN" on a non-finite slope or weight; weights visited before keep
    // their new values.
    void UpdateWeights();

    // Fills `inputFeedback` with input + error of each ordinary first-layer
    // neuron, clamped to [0, 1].
    void ComputeInputFeedback();

    // A pointer to the weight of every connection, in the order of
    // `connections`, for reading and writing the weights in place.
    std::vector<float*> WeightSlots();

    // Releases every neuron and connection; sizes, codes, rate and
    // `inputFeedback` keep their values.
    void Clear();

    std::vector<std::int32_t> activations;
    std::vector<std::int32_t> layerSizes;
    std::vector<DenseLayer> layers;
    std::vector<std::unique_ptr<Neuron>> neurons;
    std::vector<std::unique_ptr<Connection>> connections;
    float learningRate = 0.0f;
    std::vector<float> inputFeedback;

  private:
    // Sets net and output of every ordinary neuron of layer i (i >= 1).
    void ActivateLayer(size_t i);

    // Where the connections leaving layer i start in `connections`.
    std::vector<size_t> firstConnection;
    // Working space of the passes, per neuron of the layer they work towards.
    std::vector<float> layerSums;
    std::vector<float> targetErrors;
    std::vector<float> targetSlopes;
    std::vector<float> targetSteps;
};
