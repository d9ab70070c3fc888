#include "base/fs/regular_file.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "base/fs/file_io.hpp"
#include "support/scratch_dir.hpp"

namespace kro::base {
namespace {

namespace fs = std::filesystem;

// `levels` nested directories of 200-byte names below `top`, made through descriptors since
// their path soon outgrows what one call resolves. Returns the deepest one's path and leaves a
// descriptor of it in `deepest`.
std::string make_deep_dirs(const fs::path& top, int levels, UniqueFd& deepest) {
    deepest = UniqueFd(::open(top.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::string path = top.string();
    for (int level = 0; level < levels; ++level) {
        const std::string name(200, static_cast<char>('a' + level));
        EXPECT_EQ(::mkdirat(deepest.get(), name.c_str(), 0755), 0);
        deepest = UniqueFd(::openat(deepest.get(), name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        path += "/" + name;
    }
    return path;
}

TEST(OpenRegularForReading, OpensOnlyRegularFiles) {
    const testing::ScratchDir dir;
    testing::write_file(dir / "file", "stored bytes");
    fs::create_symlink(dir / "file", dir / "link");
    fs::create_symlink("/dev/null", dir / "device");
    fs::create_symlink(dir / "missing", dir / "dangling");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    fs::create_directory(dir / "sub");
    struct Case {
        std::string name;
        bool regular;
        mode_t type;
    };
    // A fifo with no writer would block a plain open for reading; here it is never opened.
    for (const Case& c :
         {Case{"file", true, S_IFREG}, Case{"link", true, S_IFREG}, Case{"device", false, S_IFCHR},
          Case{"fifo", false, S_IFIFO}, Case{"sub", false, S_IFDIR}}) {
        auto file = open_regular_for_reading((dir / c.name).c_str());
        ASSERT_TRUE(file.has_value()) << c.name;
        EXPECT_EQ(file->is_regular(), c.regular) << c.name;
        EXPECT_EQ(file->metadata.st_mode & S_IFMT, c.type) << c.name;
        if (!c.regular) continue;
        std::vector<uint8_t> bytes(64);
        const auto got = read_full(file->fd.get(), bytes);
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(*got)), "stored bytes");
        // Open for reading only.
        EXPECT_EQ(::fcntl(file->fd.get(), F_GETFL) & O_ACCMODE, O_RDONLY);
    }
    for (const std::string name : {"dangling", "missing"}) {
        auto file = open_regular_for_reading((dir / name).c_str());
        ASSERT_FALSE(file.has_value()) << name;
        EXPECT_EQ(file.error().step, OpenStep::Opening) << name;
        EXPECT_EQ(file.error().error.message(), "No such file or directory") << name;
    }
}

TEST(OpenRegularForReading, PathsLongerThanTheSystemLimit) {
    const testing::ScratchDir dir;
    testing::write_file(dir / "target", "far away");
    UniqueFd at;
    const std::string deep = make_deep_dirs(dir.path(), 30, at);
    ASSERT_GT(deep.size(), size_t{PATH_MAX});
    // A file, a link and a detour at the bottom, each reached through its whole path.
    const UniqueFd out(::openat(at.get(), "file", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    ASSERT_TRUE(out.valid());
    ASSERT_TRUE(write_all(out.get(), testing::as_bytes("deep bytes")).has_value());
    ASSERT_EQ(::symlinkat((dir / "target").c_str(), at.get(), "link"), 0);

    ASSERT_EQ(::mkdirat(at.get(), "dir", 0755), 0);
    for (const auto& [name, text] : {std::pair<std::string, std::string>{"file", "deep bytes"},
                                     {"link", "far away"},
                                     {"dir/../file", "deep bytes"}}) {
        const std::string path = deep + "/" + name;
        auto file = open_regular_for_reading(path.c_str());
        ASSERT_TRUE(file.has_value()) << name << ": " << file.error().error.message();
        ASSERT_TRUE(file->is_regular()) << name;
        std::vector<uint8_t> bytes(64);
        const auto got = read_full(file->fd.get(), bytes);
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(*got)), text) << name;
    }
    const std::string missing = deep + "/missing";
    auto file = open_regular_for_reading(missing.c_str());
    ASSERT_FALSE(file.has_value());
    EXPECT_EQ(file.error().error.message(), "No such file or directory");
}

}  // namespace
}  // namespace kro::base
