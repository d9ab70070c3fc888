#include "base/fs/dir_entries.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>
#include <map>
#include <set>

#include "support/scratch_dir.hpp"

namespace kro::base {
namespace {

namespace fs = std::filesystem;

TEST(StoreDirEntriesTest, EmptyDirectoryGivesNoEntries) {
    testing::ScratchDir dir;
    EXPECT_TRUE(read_dir_entries(dir.path()).value().empty());
}

TEST(StoreDirEntriesTest, KindsComeFromTheEntryItselfWithoutFollowingLinks) {
    testing::ScratchDir dir;
    testing::write_file(dir / "file", "x");
    fs::create_directory(dir / "sub");
    fs::create_directory_symlink(dir / "sub", dir / "link-to-dir");
    fs::create_symlink(dir / "missing", dir / "dangling");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);

    std::map<std::string, EntryKind> kinds;
    const auto entries = read_dir_entries(dir.path());
    ASSERT_TRUE(entries.has_value());
    for (const auto& entry : *entries) {
        EXPECT_EQ(entry.path.parent_path(), dir.path());
        kinds[entry.path.filename().string()] = entry.kind;
    }
    const std::map<std::string, EntryKind> expected{{"file", EntryKind::Other},
                                                    {"sub", EntryKind::Directory},
                                                    {"link-to-dir", EntryKind::Symlink},
                                                    {"dangling", EntryKind::Symlink},
                                                    {"fifo", EntryKind::Other}};
    EXPECT_EQ(kinds, expected);
}

TEST(StoreDirEntriesTest, RelativeDirectoryGivesRelativePaths) {
    testing::ScratchDir dir;
    fs::create_directory(dir / "sub");
    testing::write_file(dir / "sub" / "a", "");
    const auto previous = fs::current_path();
    fs::current_path(dir.path());
    const auto entries = read_dir_entries("sub");
    // An empty directory is the current one; its entries' paths are their bare names.
    const auto current = read_dir_entries("");
    fs::current_path(previous);
    ASSERT_EQ(entries.value().size(), 1u);
    EXPECT_EQ(entries.value()[0].path, fs::path("sub/a"));
    ASSERT_EQ(current.value().size(), 1u);
    EXPECT_EQ(current.value()[0].path, fs::path("sub"));
    EXPECT_EQ(current.value()[0].kind, EntryKind::Directory);
}

// More names than one listing call returns, joined to a directory given with a trailing
// separator: every name comes back exactly once, with one separator before it.
TEST(StoreDirEntriesTest, LargeDirectoryListsEveryEntryOnce) {
    testing::ScratchDir dir;
    std::set<std::string> made;
    for (int i = 0; i < 3000; ++i) {
        const std::string name = std::string(100, 'n') + std::to_string(i);
        testing::write_file(dir / name, "");
        made.insert(name);
    }
    const auto entries = read_dir_entries(dir.path().native() + "/");
    ASSERT_TRUE(entries.has_value());
    std::set<std::string> listed;
    for (const auto& entry : *entries) {
        EXPECT_EQ(entry.path.native(), dir.path().native() + "/" + entry.path.filename().native());
        EXPECT_TRUE(listed.insert(entry.path.filename().native()).second);
    }
    EXPECT_EQ(listed, made);
}

TEST(StoreDirEntriesTest, MissingDirectoryFails) {
    testing::ScratchDir dir;
    const auto entries = read_dir_entries(dir / "absent");
    ASSERT_FALSE(entries.has_value());
    EXPECT_EQ(entries.error().code(), ENOENT);
    testing::write_file(dir / "plain", "");
    EXPECT_EQ(read_dir_entries(dir / "plain").error().code(), ENOTDIR);
}

TEST(StoreDirEntriesTest, OwnedFileNameKeepsRawBytes) {
    struct Case {
        std::string path;
        std::string name;
    };
    const Case cases[] = {
        {"root/.metadata/roots/abc", "abc"},
        {"plain", "plain"},
        {"dir/with\xff\xfe bytes", "with\xff\xfe bytes"},
        {"dir/name/", "name"},
        {"dir/name/.", "name"},
        {"dir/..", "dir/.."},
        {"/", "/"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(owned_file_name(fs::path(c.path)), c.name) << "path " << c.path;
}

}  // namespace
}  // namespace kro::base
