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

TEST(CategoryQueries, OutOfRangeIndexLeavesNameUntouched) {
    TempDir dir;
    Handle h;
    TempDir::WriteFile("Network.data", "32;32\n3\na;b;c;\n");
    char name[4] = "xyz";
    testing::internal::CaptureStdout();
    EXPECT_FALSE(GetCategory(h.handle, -1, name));
    EXPECT_FALSE(GetCategory(h.handle, 3, name));
    EXPECT_FALSE(GetCategory(h.handle, INT32_MIN, name));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_STREQ(name, "xyz");
}

TEST(CategoryQueries, MissingFilePrintsTheTableLines) {
    TempDir dir;
    Handle h;
    std::uint32_t count = 77;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(CategoryCount(h.handle, &count));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "open network file error\nCategory count: unknown error\n");
    EXPECT_EQ(count, 77u);

    char name[4] = "xyz";
    testing::internal::CaptureStdout();
    EXPECT_FALSE(GetCategory(h.handle, 0, name));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "open network file error\n");
    EXPECT_STREQ(name, "xyz");

    testing::internal::CaptureStdout();
    EXPECT_FALSE(LoadCorvane(h.handle, 1));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "open network file error\nLoad Corvane error");
}

TEST(CategoryQueries, DeletedFileFailsBothQueries) {
    TempDir dir;
    Handle h;
    TempDir::WriteFile("Network.data", "32;32\n2\nx;y;\n");
    std::uint32_t count = 0;
    ASSERT_TRUE(CategoryCount(h.handle, &count));
    std::filesystem::remove("Network.data");
    testing::internal::CaptureStdout();
    EXPECT_FALSE(CategoryCount(h.handle, &count));
    char name[4] = "xyz";
    EXPECT_FALSE(GetCategory(h.handle, 0, name));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(count, 2u);
}

TEST(Handle, NeverLoadedHandleUnloadsAndReleases) {
    TempDir dir;
    NetHandle* handle = CreateCorvane();
    ASSERT_NE(handle, nullptr);
    EXPECT_TRUE(UnLoadCorvane(handle));
    EXPECT_TRUE(UnLoadCorvane(handle));
    EXPECT_TRUE(ReleaseCorvane(CreateCorvane()));
    EXPECT_TRUE(ReleaseCorvane(handle));
}

TEST(Handle, NullArgumentsFailWithoutCrashing) {
    TempDir dir;
    TempDir::WriteFile("Network.data", "32;32\n1\na;\n");
    Handle h;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(ReleaseCorvane(nullptr));
    EXPECT_FALSE(UnLoadCorvane(nullptr));
    EXPECT_FALSE(SaveCorvane(nullptr));
    EXPECT_FALSE(CategoryCount(h.handle, nullptr));
    EXPECT_FALSE(CategoryCount(nullptr, nullptr));
    EXPECT_FALSE(GetCategory(h.handle, 0, nullptr));
    EXPECT_FALSE(GetCategory(nullptr, 0, nullptr));
    EXPECT_FALSE(SetLearningRate(nullptr, 0.01f));
    EXPECT_FALSE(SetLearningRate(h.handle, 0.01f));  // never loaded
    testing::internal::GetCapturedStdout();
}
