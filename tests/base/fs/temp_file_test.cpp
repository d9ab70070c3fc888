#include "base/fs/temp_file.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "base/fs/directory.hpp"
#include "base/fs/file_io.hpp"
#include "support/scratch_dir.hpp"

namespace kro::base {
namespace {

namespace fs = std::filesystem;

// A random source that hands out the given 4-byte values in turn.
struct Values : Hooks {
    explicit Values(std::vector<uint32_t> list) : list(std::move(list)) {}
    std::expected<void, base::IoError> fill_random(std::span<uint8_t> out) const override {
        const uint32_t v = list.at(next++);
        for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
        return {};
    }
    std::vector<uint32_t> list;
    mutable size_t next = 0;
};

size_t entries_in(const fs::path& dir) {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

TEST(StoreTempFileTest, NameIsThePrefixAndEightLowerCaseHexDigits) {
    testing::ScratchDir dir;
    const Directory root = Directory::open_root(dir.path()).value();
    const Values hooks({0x00ab12cf});
    auto temp = create_unique_temp_file(root, "all.tmp-", &hooks);
    ASSERT_TRUE(temp.has_value());
    EXPECT_EQ(temp->path(), dir / "all.tmp-00ab12cf");
    auto random = create_unique_temp_file(root, "all.tmp-").value();
    const std::string name = random.path().filename().string();
    EXPECT_EQ(name.size(), 16u);
    EXPECT_TRUE(std::regex_match(name, std::regex("all\\.tmp-[0-9a-f]{8}"))) << name;
}

TEST(StoreTempFileTest, DroppingUnlinksAndPersistingRenames) {
    testing::ScratchDir dir;
    const Directory root = Directory::open_root(dir.path()).value();
    { auto dropped = create_unique_temp_file(root, "x").value(); }
    EXPECT_EQ(entries_in(dir.path()), 0u);

    testing::write_file(dir / "final", "old contents");
    auto temp = create_unique_temp_file(root, "x").value();
    const std::vector<uint8_t> bytes{'n', 'e', 'w'};
    ASSERT_TRUE(write_all(temp.fd(), bytes).has_value());
    const fs::path temp_path = temp.path();
    ASSERT_TRUE(std::move(temp).persist_at(root.fd(), "final").has_value());
    EXPECT_FALSE(fs::exists(temp_path));
    EXPECT_EQ(testing::read_file(dir / "final"), bytes);
    EXPECT_EQ(entries_in(dir.path()), 1u);
}

TEST(StoreTempFileTest, FailedPersistLeavesNeitherTheTemporaryFileNorAChange) {
    testing::ScratchDir dir;
    const Directory root = Directory::open_root(dir.path()).value();
    fs::create_directories(dir / "final" / "occupied");
    auto temp = create_unique_temp_file(root, "x").value();
    const fs::path temp_path = temp.path();
    const auto placed = std::move(temp).persist_at(root.fd(), "final");
    ASSERT_FALSE(placed.has_value());
    EXPECT_FALSE(fs::exists(temp_path));
    EXPECT_TRUE(fs::exists(dir / "final" / "occupied"));
}

TEST(StoreTempFileTest, TakenNamesAreSkippedUpToSixteenTimes) {
    testing::ScratchDir dir;
    const Directory root = Directory::open_root(dir.path()).value();
    testing::write_file(dir / "p00000001", "");
    std::vector<uint32_t> fifteen_taken(15, 1);
    fifteen_taken.push_back(2);
    const Values fifteen_then_free(fifteen_taken);
    auto temp = create_unique_temp_file(root, "p", &fifteen_then_free);
    ASSERT_TRUE(temp.has_value());
    EXPECT_EQ(temp->path(), dir / "p00000002");

    const Values always_taken(std::vector<uint32_t>(17, 1));
    const auto refused = create_unique_temp_file(root, "p", &always_taken);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().kind(), base::IoErrorKind::AlreadyExists);
    EXPECT_EQ(refused.error().message(), "could not create a uniquely named temporary file");
}

TEST(StoreTempFileTest, RandomSourceAndCreationFailuresEndAtOnce) {
    testing::ScratchDir dir;
    const Directory root = Directory::open_root(dir.path()).value();
    struct Failing : Hooks {
        std::expected<void, base::IoError> fill_random(std::span<uint8_t>) const override {
            ++calls;
            return std::unexpected(base::IoError::from_errno(ENOSYS));
        }
        mutable int calls = 0;
    } failing;
    EXPECT_EQ(create_unique_temp_file(root, "p", &failing).error().code(), ENOSYS);
    EXPECT_EQ(failing.calls, 1);
    // A directory that is gone by the time the file is made.
    fs::create_directory(dir / "gone");
    const Directory gone = Directory::open_root(dir / "gone").value();
    fs::remove(dir / "gone");
    EXPECT_EQ(create_unique_temp_file(gone, "p").error().code(), ENOENT);
}

TEST(StoreTempFileTest, CreatedWithMode0666BeforeTheUmask) {
    testing::ScratchDir dir;
    const Directory root = Directory::open_root(dir.path()).value();
    const mode_t previous = ::umask(0022);
    auto temp = create_unique_temp_file(root, "p").value();
    ::umask(previous);
    struct stat st {};
    ASSERT_EQ(::stat(temp.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

}  // namespace
}  // namespace kro::base
