// A host that loads the library at run time by name, as the hosts it is made for do.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "support/TempDir.h"

struct NetHandle;

TEST(DlopenHost, ReadsCategoriesThroughLookedUpFunctions) {
    TempDir dir;
    TempDir::WriteFile("Network.data", "32;32\n3\na;b;c;\n");
    void* library = dlopen(CORVANE_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();

    using Create = NetHandle* (*)();
    using Release = bool (*)(NetHandle*);
    using Count = bool (*)(NetHandle*, std::uint32_t*);
    using Get = bool (*)(NetHandle*, std::int32_t, char*);
    auto create = reinterpret_cast<Create>(dlsym(library, "CreateCorvane"));
    auto release = reinterpret_cast<Release>(dlsym(library, "ReleaseCorvane"));
    auto count = reinterpret_cast<Count>(dlsym(library, "CategoryCount"));
    auto get = reinterpret_cast<Get>(dlsym(library, "GetCategory"));
    ASSERT_TRUE(create && release && count && get);

    NetHandle* handle = create();
    std::uint32_t n = 0;
    char name[16] = {};
    EXPECT_TRUE(count(handle, &n));
    EXPECT_EQ(n, 3u);
    EXPECT_TRUE(get(handle, 1, name));
    EXPECT_EQ(std::string(name), "b");
    EXPECT_TRUE(release(handle));
    dlclose(library);
}
