#pragma once

#include "network/Network.h"

// A network whose four pools each run `threads` workers, for driving layers
// in tests. The pools are shut down when it goes out of scope.
class StartedNetwork {
  public:
    explicit StartedNetwork(int threads) {
        net.mapPointerPool.Start(threads);
        net.mapTaskPool.Start(threads);
        net.depthLinePool.Start(threads);
        net.errorSumPool.Start(threads);
    }
    ~StartedNetwork() {
        net.mapPointerPool.Shutdown();
        net.mapTaskPool.Shutdown();
        net.depthLinePool.Shutdown();
        net.errorSumPool.Shutdown();
    }
    StartedNetwork(const StartedNetwork&) = delete;
    StartedNetwork& operator=(const StartedNetwork&) = delete;

    Network net;
};
