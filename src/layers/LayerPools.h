#pragma once

#include "layers/DepthLine.h"
#include "layers/FeatureMap.h"
#include "parallel/TaskPool.h"

// The four worker pools that the layers hand their per-map work to, one
// kind of batch each. The network owns them, starts them when it builds and
// shuts them down when it unloads; layers keep a pointer to this record and
// nothing else of the network. Every layer submits from the network's
// calling thread, one batch at a time.
struct LayerPools {
    TaskPool<FeatureMap, FeatureMap*> mapPointerPool;  // convolution weight updates
    TaskPool<FeatureMap, float> mapTaskPool;           // forward passes, pooling both ways
    TaskPool<DepthLine*, float> depthLinePool;         // convolution depth-line sums
    TaskPool<FeatureMap, float> errorSumPool;          // convolution error shares

    // Each pool with `threads` workers, in this order.
    void Start(int threads) {
        mapPointerPool.Start(threads);
        mapTaskPool.Start(threads);
        depthLinePool.Start(threads);
        errorSumPool.Start(threads);
    }
    // Stops every worker, in the order of Start; harmless when stopped.
    void Shutdown() {
        mapPointerPool.Shutdown();
        mapTaskPool.Shutdown();
        depthLinePool.Shutdown();
        errorSumPool.Shutdown();
    }
};
