#pragma once

#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

#include "api/NetHandle.h"
#include "support/TempDir.h"

// A freshly drawn network of size x size inputs and ten outputs, loaded into
// a handle inside a temporary folder. The header-only "Network.data" makes
// the load draw every weight from std::rand, seeded here so that two
// networks made with the same seed start identical. The engine's console
// lines (load, "Thread finished") are swallowed so they do not interleave
// with the benchmark table.
class BenchNetwork {
  public:
    BenchNetwork(int size, unsigned threads, unsigned seed = 1) {
        std::ostringstream header;
        header << size << ";" << size << "\n10\n";
        for (int c = 0; c < 10; ++c) header << "c" << c << ";";
        header << "\n";
        TempDir::WriteFile("Network.data", header.str());
        std::srand(seed);
        Quiet quiet;
        handle.Load(threads);
    }
    ~BenchNetwork() {
        Quiet quiet;
        handle.network.Unload();
    }
    BenchNetwork(const BenchNetwork&) = delete;
    BenchNetwork& operator=(const BenchNetwork&) = delete;

    TempDir folder;
    NetHandle handle;

  private:
    // Sends std::cout to nowhere for its lifetime.
    class Quiet {
      public:
        Quiet() : saved(std::cout.rdbuf(sink.rdbuf())) {}
        ~Quiet() { std::cout.rdbuf(saved); }
        Quiet(const Quiet&) = delete;
        Quiet& operator=(const Quiet&) = delete;

      private:
        std::ostringstream sink;
        std::streambuf* saved;
    };
};
