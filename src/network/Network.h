#pragma once

#include <string>
#include <vector>

#include "layers/DepthLine.h"
#include "layers/FeatureMap.h"
#include "parallel/TaskPool.h"

// The engine behind one handle: the feature layers, the dense classifier,
// the worker pools and the buffers joining them, plus the input size, output
// count and category names of the loaded network.
class Network {
  public:
    Network() = default;

    // Reads "Network.data", builds the network and fills in its weights.
    void Load(unsigned threadCount);
    // Writes the loaded network to "Network.data".
    void Save();
    // Back to the unbuilt state; categories and sizes stay.
    void Unload();

    // The layers reach their worker pools through the network.
    TaskPool<FeatureMap, FeatureMap*> mapPointerPool;
    TaskPool<FeatureMap, float> mapTaskPool;
    TaskPool<DepthLine*, float> depthLinePool;
    TaskPool<FeatureMap, float> errorSumPool;

    float maskThreshold = 0.01f;
    int outputCount = 0;
    int inputWidth = 0;
    int inputHeight = 0;
    float learningRate = 0.0005f;
    std::vector<std::string> categories;
};
