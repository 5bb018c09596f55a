#include "common/NetworkBuilder.h"

#include "common/TemporaryFolder.h"
#include "common/WorkingDirectory.h"

void NetworkBuilder::Build(const std::filesystem::path& folder, const NetworkHeader& header,
                           const std::function<void()>& loadAndSave) {
    const char* const file = "Network.data";
    const TemporaryFolder building(folder);
    {
        const WorkingDirectory inside(building.Path());
        header.Write(file);
        loadAndSave();
    }
    std::filesystem::rename(building.Path() / file, folder / file);
}
