// The category queries and the guards, through corvane.h only.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "corvane.h"
#include "support/TempDir.h"

namespace {

struct Handle {
    Handle() : handle(CreateCorvane()) {}
    ~Handle() { ReleaseCorvane(handle); }
    NetHandle* handle;
};

}  // namespace

TEST(CategoryQueries, ReadTheFileOnEveryCall) {
    TempDir dir;
    Handle h;
    TempDir::WriteFile("Network.data", "32;32\n3\na;b;c;\n");
    std::uint32_t count = 0;
    ASSERT_TRUE(CategoryCount(h.handle, &count));
    EXPECT_EQ(count, 3u);
    char name[8] = "zzzzzzz";
    ASSERT_TRUE(GetCategory(h.handle, 1, name));
    EXPECT_EQ(std::memcmp(name, "b\0zzzzz", 8), 0);  // the name and its zero byte, nothing more

    TempDir::WriteFile("Network.data", "32;32\n2\nlonger name;x\n");
    ASSERT_TRUE(CategoryCount(h.handle, &count));
    EXPECT_EQ(count, 2u);
    char wide[32];
    ASSERT_TRUE(GetCategory(h.handle, 0, wide));
    EXPECT_STREQ(wide, "longer name");

    TempDir::WriteFile("Network.data", "32;32\n0\n\n");
    ASSERT_TRUE(CategoryCount(h.handle, &count));
    EXPECT_EQ(count, 0u);
}

TEST(CategoryQueries, FailuresPrintTheirLinesAndLeaveTheResultsUntouched) {
    TempDir dir;
    Handle h;
    TempDir::WriteFile("Network.data", "32;32\n3\na;b;c;\n");
    char name[4] = "xyz";
    std::uint32_t count = 77;
    testing::internal::CaptureStdout();
    for (const std::int32_t index : {-1, 3, INT32_MIN})
        EXPECT_FALSE(GetCategory(h.handle, index, name));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    // The file is read on every call: gone, both queries fail.
    std::filesystem::remove("Network.data");
    testing::internal::CaptureStdout();
    EXPECT_FALSE(CategoryCount(h.handle, &count));
    EXPECT_FALSE(GetCategory(h.handle, 0, name));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "open network file error\nCategory count: unknown error\nopen network file error\n");
    EXPECT_EQ(count, 77u);
    EXPECT_STREQ(name, "xyz");
}
