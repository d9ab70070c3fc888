#include "gen/chain_tip.hpp"

#include <gtest/gtest.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "base/fs/directory.hpp"
#include "format/digest.hpp"
#include "format/hex.hpp"
#include "format/store_layout.hpp"
#include "support/scratch_dir.hpp"

namespace kro::gen {
namespace {

namespace fs = std::filesystem;

std::string blake2b160_hex(std::string_view text) {
    format::Blake2b160 h;
    h.update({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
    return format::encode_hex(h.finalize());
}

std::string read_text(const fs::path& path) {
    const auto bytes = testing::read_file(path);
    return {bytes.begin(), bytes.end()};
}

// A run's chain-tip steps on their own: the store root and its marker directory are made as
// needed, then one marker is recorded or the aggregate is written.
std::expected<void, GenerateError> record_chain_tip(const fs::path& root, const format::FileId& tip) {
    auto dir = base::Directory::create_root(root);
    if (!dir) {
        return std::unexpected(
            GenerateError::io("creating the chain-tip directory", format::roots_path(root), dir.error()));
    }
    auto records = ChainTipRecords::enter(*dir);
    if (!records) return std::unexpected(std::move(records.error()));
    return records->record(tip);
}

std::expected<AggregateDigest, GenerateError> write_chain_tip_aggregate(const fs::path& root) {
    const auto dir = base::Directory::open_root(root).value();
    auto records = ChainTipRecords::enter(dir);
    if (!records) return std::unexpected(std::move(records.error()));
    return records->write_aggregate(nullptr, nullptr);
}

format::FileId id_of(uint8_t first) {
    format::FileId id;
    id.bytes[0] = first;
    id.bytes[19] = 0x5a;
    return id;
}

TEST(StoreChainTipTest, OneMarkerHashesItsFortyCharacterName) {
    testing::ScratchDir root;
    const auto tip = id_of(0xc3);
    ASSERT_TRUE(record_chain_tip(root.path(), tip).has_value());
    ASSERT_TRUE(record_chain_tip(root.path(), tip).has_value());  // recorded twice: still one marker
    const auto marker = root / ".metadata" / "roots" / tip.to_hex();
    EXPECT_EQ(fs::file_size(marker), 0u);
    EXPECT_EQ(std::distance(fs::directory_iterator(root / ".metadata" / "roots"), fs::directory_iterator()),
              1);

    const auto digest = write_chain_tip_aggregate(root.path());
    ASSERT_TRUE(digest.has_value());
    const std::string all = read_text(root / ".metadata" / "all");
    EXPECT_EQ(all.size(), 40u);
    EXPECT_EQ(all, blake2b160_hex(tip.to_hex()));
    EXPECT_EQ(format::encode_hex(*digest), all);
}

TEST(StoreChainTipTest, EveryEntryCountsInByteWiseOrderWithoutSeparators) {
    testing::ScratchDir root;
    const auto high = id_of(0xf0);
    const auto low = id_of(0x01);
    ASSERT_TRUE(record_chain_tip(root.path(), high).has_value());
    ASSERT_TRUE(record_chain_tip(root.path(), low).has_value());
    ASSERT_TRUE(write_chain_tip_aggregate(root.path()).has_value());
    EXPECT_EQ(read_text(root / ".metadata" / "all"), blake2b160_hex(low.to_hex() + high.to_hex()));

    // A stray file with a non-UTF-8 name, and a directory, change the aggregate.
    const std::string stray = "\xff stray";
    testing::write_file(root / ".metadata" / "roots" / stray, "ignored content");
    fs::create_directory(root / ".metadata" / "roots" / "sub");
    ASSERT_TRUE(write_chain_tip_aggregate(root.path()).has_value());
    EXPECT_EQ(read_text(root / ".metadata" / "all"),
              blake2b160_hex(low.to_hex() + high.to_hex() + "sub" + stray));
}

TEST(StoreChainTipTest, NoMarkersHashTheEmptyInput) {
    testing::ScratchDir root;
    fs::create_directories(root / ".metadata" / "roots");
    ASSERT_TRUE(write_chain_tip_aggregate(root.path()).has_value());
    EXPECT_EQ(read_text(root / ".metadata" / "all"), blake2b160_hex(""));
}

// A marker is made with mode 0666 before the umask, as any file a user's program creates.
TEST(StoreChainTipTest, MarkerModeIsWhatTheUmaskLeaves) {
    const std::vector<std::pair<mode_t, mode_t>> cases = {{0022, 0644}, {0077, 0600}, {0, 0666}};
    for (const auto& [mask, mode] : cases) {
        testing::ScratchDir root;
        const mode_t previous = ::umask(mask);
        const auto recorded = record_chain_tip(root.path(), id_of(4));
        ::umask(previous);
        ASSERT_TRUE(recorded.has_value()) << base::error_chain(recorded.error());
        struct stat st {};
        ASSERT_EQ(::stat((root / ".metadata" / "roots" / id_of(4).to_hex()).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode) << "umask " << std::oct << mask;
    }
}

TEST(StoreChainTipTest, FailuresNameTheirActionAndPath) {
    testing::ScratchDir root;
    testing::write_file(root / ".metadata", "a file where the directory belongs");
    const auto recorded = record_chain_tip(root.path(), id_of(1));
    ASSERT_FALSE(recorded.has_value());
    EXPECT_EQ(base::error_chain(recorded.error()), "creating the chain-tip directory at " +
                                                       (root / ".metadata" / "roots").string() +
                                                       ": Not a directory");

    // The marker directory is gone by the time the markers are listed.
    testing::ScratchDir gone;
    const auto gone_root = base::Directory::open_root(gone.path()).value();
    const auto records = ChainTipRecords::enter(gone_root).value();
    fs::remove(gone / ".metadata" / "roots");
    const auto listed = records.write_aggregate(nullptr, nullptr);
    ASSERT_FALSE(listed.has_value());
    EXPECT_EQ(listed.error().message(),
              "listing the chain-tip markers at " + (gone / ".metadata" / "roots").string());

    testing::ScratchDir other;
    fs::create_directories(other / ".metadata" / "roots" / id_of(2).to_hex() / "occupied");
    const auto marker = record_chain_tip(other.path(), id_of(2));
    ASSERT_FALSE(marker.has_value());
    EXPECT_EQ(marker.error().message(), "writing the chain-tip marker at " +
                                            (other / ".metadata" / "roots" / id_of(2).to_hex()).string());
}

// Runs as another user, whose file-system identity is taken for the call when this is root (who
// may read and write anything).
template <typename Call>
auto as_another_user(Call call) {
    const bool as_root = ::geteuid() == 0;
    if (as_root) {
        ::setfsgid(65534);
        ::setfsuid(65534);
    }
    auto result = call();
    if (as_root) {
        ::setfsuid(0);
        ::setfsgid(0);
    }
    return result;
}

// The records need no right to read `.metadata`: a run lists and locks `roots`, and only writes
// and searches `.metadata`. A `roots` that cannot be listed is refused before a run's first file.
TEST(StoreChainTipTest, RecordsNeedToListRootsButNotTheMetadataDirectory) {
    testing::ScratchDir root;
    const auto dir = base::Directory::open_root(root.path()).value();
    ASSERT_TRUE(ChainTipRecords::enter(dir).has_value());
    if (::geteuid() == 0) fs::permissions(root.path(), fs::perms::all);
    fs::permissions(root / ".metadata" / "roots", fs::perms::all);
    fs::permissions(root / ".metadata", fs::perms::all & ~fs::perms::owner_read & ~fs::perms::group_read &
                                            ~fs::perms::others_read);
    const auto turn = as_another_user([&]() -> std::expected<void, GenerateError> {
        auto records = ChainTipRecords::enter(dir);
        if (!records) return std::unexpected(std::move(records.error()));
        auto lock = records->lock();
        if (!lock) return std::unexpected(std::move(lock.error()));
        if (auto recorded = records->record(id_of(6)); !recorded) return recorded;
        auto aggregate = records->write_aggregate(nullptr, nullptr);
        if (!aggregate) return std::unexpected(std::move(aggregate.error()));
        return {};
    });
    EXPECT_TRUE(turn.has_value()) << base::error_chain(turn.error());

    fs::permissions(root / ".metadata", fs::perms::all);
    fs::permissions(root / ".metadata" / "roots", fs::perms::all & ~fs::perms::owner_read &
                                                      ~fs::perms::group_read & ~fs::perms::others_read);
    const auto checked = as_another_user([&] { return ChainTipRecords::check(dir); });
    fs::permissions(root / ".metadata" / "roots", fs::perms::owner_all);
    ASSERT_FALSE(checked.has_value());
    EXPECT_EQ(base::error_chain(checked.error()), "listing the chain-tip markers at " +
                                                      (root / ".metadata" / "roots").string() +
                                                      ": Permission denied");
}

// What is in the way of the last steps is found before anything is created.
TEST(StoreChainTipTest, CheckRefusesWhatTheLastStepsWouldAndCreatesNothing) {
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> arrange;
        std::string expected;  // with {meta} for the metadata directory
    };
    const std::vector<Case> cases = {
        {"nothing yet", [](const fs::path&) {}, ""},
        {"metadata without roots", [](const fs::path& r) { fs::create_directory(r / ".metadata"); }, ""},
        {"a file at .metadata", [](const fs::path& r) { testing::write_file(r / ".metadata", ""); },
         "creating the chain-tip directory at {meta}/roots: Not a directory"},
        {"a link at .metadata",
         [](const fs::path& r) {
             fs::create_directories(r / "elsewhere" / "roots");
             fs::create_directory_symlink(r / "elsewhere", r / ".metadata");
         },
         "creating the chain-tip directory at {meta}/roots: Not a directory"},
        {"a link at roots",
         [](const fs::path& r) {
             fs::create_directories(r / "elsewhere");
             fs::create_directory(r / ".metadata");
             fs::create_directory_symlink(r / "elsewhere", r / ".metadata" / "roots");
         },
         "creating the chain-tip directory at {meta}/roots: Not a directory"},
        {"a directory at the aggregate",
         [](const fs::path& r) { fs::create_directories(r / ".metadata" / "all"); },
         "replacing the aggregate at {meta}/all: Is a directory"},
    };
    for (const Case& c : cases) {
        testing::ScratchDir root;
        c.arrange(root.path());
        std::vector<std::string> before;
        for (const auto& e : fs::recursive_directory_iterator(root.path())) before.push_back(e.path());
        const auto dir = base::Directory::open_root(root.path()).value();
        const auto checked = ChainTipRecords::check(dir);
        std::string meta = (root / ".metadata").string();
        std::string expected = c.expected;
        if (auto at = expected.find("{meta}"); at != std::string::npos) expected.replace(at, 6, meta);
        EXPECT_EQ(checked ? std::string() : base::error_chain(checked.error()), expected) << c.name;
        std::vector<std::string> after;
        for (const auto& e : fs::recursive_directory_iterator(root.path())) after.push_back(e.path());
        EXPECT_EQ(after, before) << c.name;
    }
}

// Directories that may not be written are refused by the message of the step that would meet
// them first. Only a user without root's rights meets them.
TEST(StoreChainTipTest, CheckRefusesDirectoriesThatCannotBeWritten) {
    const fs::perms read_only =
        fs::perms::all & ~fs::perms::owner_write & ~fs::perms::group_write & ~fs::perms::others_write;
    struct Case {
        const char* name;
        bool with_roots;
        const char* locked;  // relative to the root
        const char* expected;
    };
    const std::vector<Case> cases = {
        {"metadata without roots", false, ".metadata",
         "creating the chain-tip directory at {root}/.metadata/roots"},
        {"metadata with roots", true, ".metadata",
         "creating the aggregate temporary file at {root}/.metadata"},
        {"roots", true, ".metadata/roots", "writing the chain-tip marker at {root}/.metadata/roots"},
    };
    for (const Case& c : cases) {
        testing::ScratchDir root;
        fs::create_directories(root / (c.with_roots ? ".metadata/roots" : ".metadata"));
        for (const auto& e : fs::recursive_directory_iterator(root.path()))
            fs::permissions(e.path(), fs::perms::all);
        if (::geteuid() == 0) fs::permissions(root.path(), fs::perms::all);
        fs::permissions(root / c.locked, read_only);
        const auto dir = base::Directory::open_root(root.path()).value();
        const auto checked = as_another_user([&] { return ChainTipRecords::check(dir); });
        fs::permissions(root / c.locked, fs::perms::owner_all);
        std::string expected = std::string(c.expected) + ": Permission denied";
        expected.replace(expected.find("{root}"), 6, root.path().string());
        EXPECT_EQ(checked ? std::string() : base::error_chain(checked.error()), expected) << c.name;
    }
}

TEST(StoreChainTipTest, FailedRenameKeepsTheOldAggregateAndNoTemporaryFile) {
    testing::ScratchDir root;
    ASSERT_TRUE(record_chain_tip(root.path(), id_of(3)).has_value());
    fs::create_directories(root / ".metadata" / "all" / "occupied");
    const auto written = write_chain_tip_aggregate(root.path());
    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(written.error().message(),
              "replacing the aggregate at " + (root / ".metadata" / "all").string());
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(root / ".metadata")) names.push_back(e.path().filename());
    std::ranges::sort(names);
    EXPECT_EQ(names, (std::vector<std::string>{"all", "roots"}));
}

}  // namespace
}  // namespace kro::gen
