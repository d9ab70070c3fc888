#include "gen/shard_dirs.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

#include "support/scratch_dir.hpp"

namespace kro::gen {
namespace {

namespace fs = std::filesystem;

format::FileId id_with(uint8_t last) {
    format::FileId id;
    id.bytes[0] = 0xab;
    id.bytes[1] = 0xcd;
    id.bytes[2] = 0xef;
    id.bytes[19] = last;
    return id;
}

// A leaf the run has made is opened again without being made, and still never through a link:
// one planted at any level after the first visit is refused.
TEST(StoreShardDirsTest, KnownLeavesAreReopenedWithoutFollowingLinks) {
    for (const fs::path planted : {"ab/cd/ef", "ab/cd"}) {
        SCOPED_TRACE(planted);
        testing::ScratchDir dir;
        fs::create_directory(dir / "outside");
        const base::Directory root = base::Directory::create_root(dir / "store").value();
        const fs::path leaf = dir / "store" / "ab" / "cd" / "ef";
        ShardDirs shards(root);
        ASSERT_TRUE(shards.enter(id_with(1)).has_value());

        const auto again = shards.enter(id_with(2));
        ASSERT_TRUE(again.has_value());
        struct stat opened {};
        struct stat made {};
        ASSERT_EQ(::fstat(again->get(), &opened), 0);
        ASSERT_EQ(::stat(leaf.c_str(), &made), 0);
        EXPECT_EQ(opened.st_ino, made.st_ino);

        fs::remove_all(dir / "store" / planted);
        fs::create_directory_symlink(dir / "outside", dir / "store" / planted);
        const auto refused = shards.enter(id_with(3));
        ASSERT_FALSE(refused.has_value());
        EXPECT_EQ(refused.error().code(), ENOTDIR);
    }
}

}  // namespace
}  // namespace kro::gen
