#pragma once

#include <filesystem>
#include <functional>

#include "common/NetworkHeader.h"

// Makes the "Network.data" of a new network in a folder. The library builds
// a network from a header with fresh weights and saves it; that happens in a
// hidden temporary folder beside an existing network, which is replaced by
// one rename only once the new file is whole. A size the library refuses,
// or any other failure, leaves the folder as it was.
class NetworkBuilder {
  public:
    // Writes the header into the temporary folder, makes that the working
    // directory (WorkingDirectory) and runs loadAndSave, which loads the
    // network there through the library and saves it; then moves the result
    // to folder/Network.data. Whatever loadAndSave throws goes on.
    static void Build(const std::filesystem::path& folder, const NetworkHeader& header,
                      const std::function<void()>& loadAndSave);
};
