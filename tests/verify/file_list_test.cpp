#include "verify/file_list.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace kro::verify {
namespace {

using ::testing::ElementsAreArray;

std::vector<std::string> contents(const FileList& files) {
    std::vector<std::string> out;
    for (size_t i = 0; i < files.size(); ++i) out.emplace_back(files.native(i));
    return out;
}

TEST(FileListTest, SortsByBytesWithPrefixesFirst) {
    // Byte values decide, as unsigned: '-' (0x2D) before '/' (0x2F), a UTF-8 lead byte (0xC3) and
    // 0xFF after every ASCII byte; a path that is a prefix of another comes first.
    const std::vector<std::string> sorted = {
        "r/a", "r/a-b", "r/a/b", "r/a/b/c", "r/aa", "r/\x7f", "r/\xc3\xa9", "r/\xff\xfe", "s",
    };
    FileList files;
    for (const size_t i : {6, 2, 8, 0, 4, 7, 1, 5, 3}) files.push_back(sorted[i]);
    files.sort();
    EXPECT_THAT(contents(files), ElementsAreArray(sorted));
}

TEST(FileListTest, EachPathComesBackAsItWasGiven) {
    // Every form a walk can hand over: a relative root, repeated and trailing separators, a
    // root of "/" and names with bytes that are not UTF-8.
    const std::vector<std::string> given = {"store/ab/cd/ef/0123", "/x", "a//b/", "./.metadata/x", "\xff"};
    FileList files;
    EXPECT_TRUE(files.empty());
    for (const auto& path : given) files.push_back(path);
    ASSERT_EQ(files.size(), given.size());
    EXPECT_THAT(contents(files), ElementsAreArray(given));
    for (size_t i = 0; i < given.size(); ++i) {
        EXPECT_EQ(files.path(i), std::filesystem::path(given[i])) << i;
        EXPECT_EQ(std::strlen(files.c_str(i)), given[i].size()) << i;  // NUL right after the bytes
    }
}

}  // namespace
}  // namespace kro::verify
