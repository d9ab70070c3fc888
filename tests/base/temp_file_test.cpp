#include "base/temp_file.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "base/file_io.hpp"
#include "support/scratch_dir.hpp"

namespace kro::base {
namespace {

namespace fs = std::filesystem;

// A random source that hands out the given 4-byte values in turn.
RandomFill values(std::vector<uint32_t> list) {
    auto shared = std::make_shared<std::vector<uint32_t>>(std::move(list));
    auto next = std::make_shared<size_t>(0);
    return [shared, next](std::span<uint8_t> out) -> std::expected<void, base::IoError> {
        const uint32_t v = shared->at((*next)++);
        for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
        return {};
    };
}

size_t entries_in(const fs::path& dir) {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

TEST(StoreTempFileTest, NameIsThePrefixAndEightLowerCaseHexDigits) {
    testing::ScratchDir dir;
    auto temp = create_unique_temp_file(dir.path(), "all.tmp-", values({0x00ab12cf}));
    ASSERT_TRUE(temp.has_value());
    EXPECT_EQ(temp->path(), dir / "all.tmp-00ab12cf");
    auto random = create_unique_temp_file(dir.path(), "all.tmp-").value();
    const std::string name = random.path().filename().string();
    EXPECT_EQ(name.size(), 16u);
    EXPECT_TRUE(std::regex_match(name, std::regex("all\\.tmp-[0-9a-f]{8}"))) << name;
}

TEST(StoreTempFileTest, DroppingUnlinksAndPersistingRenames) {
    testing::ScratchDir dir;
    { auto dropped = create_unique_temp_file(dir.path(), "x").value(); }
    EXPECT_EQ(entries_in(dir.path()), 0u);

    testing::write_file(dir / "final", "old contents");
    auto temp = create_unique_temp_file(dir.path(), "x").value();
    const std::vector<uint8_t> bytes{'n', 'e', 'w'};
    ASSERT_TRUE(write_all(temp.fd(), bytes).has_value());
    const fs::path temp_path = temp.path();
    ASSERT_TRUE(std::move(temp).persist(dir / "final").has_value());
    EXPECT_FALSE(fs::exists(temp_path));
    EXPECT_EQ(testing::read_file(dir / "final"), bytes);
    EXPECT_EQ(entries_in(dir.path()), 1u);
}

TEST(StoreTempFileTest, FailedPersistLeavesNeitherTheTemporaryFileNorAChange) {
    testing::ScratchDir dir;
    fs::create_directories(dir / "final" / "occupied");
    auto temp = create_unique_temp_file(dir.path(), "x").value();
    const fs::path temp_path = temp.path();
    const auto placed = std::move(temp).persist(dir / "final");
    ASSERT_FALSE(placed.has_value());
    EXPECT_FALSE(fs::exists(temp_path));
    EXPECT_TRUE(fs::exists(dir / "final" / "occupied"));
}

TEST(StoreTempFileTest, TakenNamesAreSkippedUpToSixteenTimes) {
    testing::ScratchDir dir;
    testing::write_file(dir / "p00000001", "");
    std::vector<uint32_t> fifteen_taken(15, 1);
    fifteen_taken.push_back(2);
    auto temp = create_unique_temp_file(dir.path(), "p", values(fifteen_taken));
    ASSERT_TRUE(temp.has_value());
    EXPECT_EQ(temp->path(), dir / "p00000002");

    const auto refused = create_unique_temp_file(dir.path(), "p", values(std::vector<uint32_t>(17, 1)));
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().kind(), base::IoErrorKind::AlreadyExists);
    EXPECT_EQ(refused.error().message(), "could not create a uniquely named temporary file");
}

TEST(StoreTempFileTest, RandomSourceAndCreationFailuresEndAtOnce) {
    testing::ScratchDir dir;
    int calls = 0;
    const RandomFill failing = [&](std::span<uint8_t>) -> std::expected<void, base::IoError> {
        ++calls;
        return std::unexpected(base::IoError::from_errno(ENOSYS));
    };
    EXPECT_EQ(create_unique_temp_file(dir.path(), "p", failing).error().code(), ENOSYS);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(create_unique_temp_file(dir / "missing", "p").error().code(), ENOENT);
}

TEST(StoreTempFileTest, CreatedWithMode0666BeforeTheUmask) {
    testing::ScratchDir dir;
    const mode_t previous = ::umask(0022);
    auto temp = create_unique_temp_file(dir.path(), "p").value();
    ::umask(previous);
    struct stat st {};
    ASSERT_EQ(::stat(temp.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

}  // namespace
}  // namespace kro::base
