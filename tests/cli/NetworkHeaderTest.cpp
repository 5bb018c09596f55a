#include <gtest/gtest.h>

#include <map>
#include <stdexcept>

#include "cli/CategoriesFile.h"
#include "common/NetworkHeader.h"
#include "support/TempDir.h"

TEST(NetworkHeader, ParsesSizes) {
    EXPECT_EQ(NetworkHeader::ParseSize("32x64"), std::make_pair(32, 64));
    EXPECT_EQ(NetworkHeader::ParseSize("96X32"), std::make_pair(96, 32));
    for (const char* bad : {"32", "32x", "x32", "32x32x32", "-32x32", "32,32", "a x b", ""}) {
        EXPECT_THROW(NetworkHeader::ParseSize(bad), std::invalid_argument) << bad;
    }
}

TEST(NetworkHeader, RefusesSizesTheNetworkCannotTake) {
    const std::vector<std::string> names{"a", "b"};
    EXPECT_NO_THROW(NetworkHeader(32, 32, names));
    EXPECT_NO_THROW(NetworkHeader(64, 96, names));
    EXPECT_THROW(NetworkHeader(0, 32, names), std::invalid_argument);
    EXPECT_THROW(NetworkHeader(16, 32, names), std::invalid_argument);
    EXPECT_THROW(NetworkHeader(32, 48, names), std::invalid_argument);
    EXPECT_THROW(NetworkHeader(33, 32, names), std::invalid_argument);
}

TEST(NetworkHeader, RefusesNamesTheFileCannotHold) {
    EXPECT_THROW(NetworkHeader(32, 32, {}), std::invalid_argument);
    EXPECT_THROW(NetworkHeader(32, 32, {"a", ""}), std::invalid_argument);
    EXPECT_THROW(NetworkHeader(32, 32, {"a;b"}), std::invalid_argument);
    EXPECT_THROW(NetworkHeader(32, 32, {"a\nb"}), std::invalid_argument);
    EXPECT_THROW(NetworkHeader(32, 32, {"a\r"}), std::invalid_argument);
    EXPECT_THROW(NetworkHeader(32, 32, {"cat", "dog", "cat"}), std::invalid_argument);
    EXPECT_NO_THROW(NetworkHeader(32, 32, {"ankle boot", "T-shirt/top"}));
}

TEST(NetworkHeader, WritesTheThreeHeaderLines) {
    EXPECT_EQ(NetworkHeader(64, 32, {"cat", "dog", "bird"}).Text(), "64;32\n3\ncat;dog;bird;\n");
    EXPECT_EQ(NetworkHeader(32, 32, {"x"}).Text(), "32;32\n1\nx;\n");
}

TEST(NetworkHeader, ReadsNameFiles) {
    const TempDir dir;
    // A byte-order mark, blanks, Windows line ends and blank lines at the end fall away.
    TempDir::WriteFile("names.txt",
                       "\xEF\xBB\xBF shirt\r\n T-shirt/top = T-shirt_top \r\n\tbag\n\n \n");
    const CategoriesFile file = CategoriesFile::Read("names.txt");
    EXPECT_EQ(file.Names(), (std::vector<std::string>{"shirt", "T-shirt/top", "bag"}));
    EXPECT_EQ(file.Folders(), (std::map<std::string, std::string>{{"T-shirt/top", "T-shirt_top"}}));
    EXPECT_EQ(CategoriesFile::MappingText(file.Names(), file.Folders()),
              "T-shirt/top = T-shirt_top\n");
    for (const char* bad : {"a\n\nb\n", "a\n = x\n", "a = \n", "a = x/y\n"}) {
        TempDir::WriteFile("bad.txt", bad);
        EXPECT_THROW(CategoriesFile::Read("bad.txt"), std::invalid_argument) << bad;
    }
    EXPECT_THROW(CategoriesFile::Read("missing.txt"), std::runtime_error);
}
