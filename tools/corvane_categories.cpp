// A minimal host: prints the category names of the "Network.data" in the
// current directory.
#include <cstdint>
#include <iostream>
#include <vector>

#include "corvane.h"

int main() {
    NetHandle* handle = CreateCorvane();
    if (handle == nullptr) return 1;
    std::uint32_t count = 0;
    if (!CategoryCount(handle, &count)) {
        ReleaseCorvane(handle);
        return 1;
    }
    std::vector<char> name(4096);
    for (std::uint32_t i = 0; i < count; ++i) {
        if (GetCategory(handle, static_cast<std::int32_t>(i), name.data()))
            std::cout << i << ": " << name.data() << "\n";
    }
    ReleaseCorvane(handle);
    return 0;
}
