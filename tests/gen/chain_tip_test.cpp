#include "gen/chain_tip.hpp"

#include <gtest/gtest.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

TEST(StoreChainTipTest, LockThatCannotBeTakenNamesTheMetadataDirectory) {
    testing::ScratchDir root;
    const auto dir = base::Directory::open_root(root.path()).value();
    const auto records = ChainTipRecords::enter(dir).value();
    // A `.metadata` that this process may not read cannot be opened for its lock. Root reads
    // anything, so the call is made with the file-system identity of another user.
    fs::permissions(root / ".metadata", fs::perms::none);
    const bool as_root = ::geteuid() == 0;
    if (as_root) ::setfsuid(65534);
    const auto lock = records.lock();
    if (as_root) ::setfsuid(0);
    fs::permissions(root / ".metadata", fs::perms::owner_all);
    ASSERT_FALSE(lock.has_value());
    EXPECT_EQ(base::error_chain(lock.error()),
              "locking the chain-tip records at " + (root / ".metadata").string() + ": Permission denied");
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
