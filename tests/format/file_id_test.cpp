#include "format/file_id.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <unordered_set>
#include <vector>

#include "format/content.hpp"
#include "format/format_fixtures.hpp"
#include "format/header.hpp"
#include "format/hex.hpp"

namespace kro::format {
namespace {

using ::testing::HasSubstr;
using testing::panic_message;
using testing::sample_parent;
using testing::sample_seed;

// A whole content file as a writer lays it out: header, then the content stream.
std::vector<uint8_t> whole_file(FormatVersion version, uint64_t length) {
    const HeaderBytes header = Header::make(sample_parent(), sample_seed(), length, version).value().encode();
    std::vector<uint8_t> file(length);
    std::copy(header.begin(), header.end(), file.begin());
    ContentReader::at_offset(sample_seed(), 0, version).fill(std::span(file).subspan(HEADER_LEN));
    return file;
}

FileId v3_file_id_of(const std::vector<uint8_t>& file) {
    std::vector<MerkleHash> leaves;
    for (uint64_t k = 0; k < v3_leaf_count(file.size()); ++k)
        leaves.push_back(
            leaf_hash(k, std::span(file).subspan(k * FILE_BLOCK_SIZE, file_block_len(file.size(), k))));
    return merkle_file_id(std::move(leaves), file.size());
}

TEST(FileIdentity, LeafAndRootKnownAnswers) {
    // python3 tests/format/known_answers.py ("leaf_hash", "merkle_root"): b3sum over the domain
    // string with its zero byte and the big-endian fields.
    const std::string abc = "abc";
    EXPECT_EQ(encode_hex(leaf_hash(3, std::span(reinterpret_cast<const uint8_t*>(abc.data()), abc.size()))),
              "090c8bd23d7c098bdc0096b81ac90049c90f9c0be4c71331c84674308f606ebc");
    MerkleHash top;
    top.fill(0x11);
    EXPECT_EQ(encode_hex(merkle_root(60, 1, top)),
              "6856d9e78730b710e98f4c4782ebc04866c3d5c52480bf04c1b6afcff6c13352");
}

TEST(FileIdentity, TreeShapesKnownAnswers) {
    // python3 tests/format/known_answers.py ("synthetic n leaves"): leaf i is 32 bytes of value i.
    // Three and five leaves have lone last nodes, hashed as one-child nodes, never promoted.
    const struct {
        std::size_t leaves;
        uint64_t file_length;
        const char* id;
    } cases[] = {
        {1, 60, "574c37a4a392bbf488de5d49e21844acec454871"},
        {2, 1048577, "a6cb164ee7bf5b5569f5f84c33af1efceed4af1c"},
        {3, 2097252, "7419ba22c9f78be2af70c2e1cfe4c7ec4c8cf8bd"},
        {5, 4194311, "b3bd502b3ccb98cdf12085cb108ceba4122642bc"},
    };
    for (const auto& c : cases) {
        std::vector<MerkleHash> leaves(c.leaves);
        for (std::size_t i = 0; i < c.leaves; ++i) leaves[i].fill(static_cast<uint8_t>(i));
        EXPECT_EQ(merkle_file_id(std::move(leaves), c.file_length).to_hex(), c.id) << c.leaves;
    }
    // One leaf: the top node is the leaf itself.
    MerkleHash only;
    only.fill(0);
    const MerkleHash root = merkle_root(60, 1, only);
    EXPECT_TRUE(std::equal(root.begin(), root.begin() + 20, merkle_file_id({only}, 60).bytes.begin()));
}

TEST(FileIdentity, V3FileIdsOfGeneratedFiles) {
    // python3 tests/format/known_answers.py ("v3 file id"): header, shake_128 content, b3sum tree.
    const struct {
        uint64_t length;
        const char* id;
    } cases[] = {
        {60, "7e02db8384a6afe68d51592067f188e88ebbd522"},
        {1048576, "8afcf87592b5bb54e8cf14130f731a0636790242"},
        {1048577, "df909a272a46e4f6f246731e36ce4f75c4c03e2b"},
        {2097252, "813f6c7636a529050e878fc14d191c88e772df5f"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(v3_file_id_of(whole_file(FormatVersion::V3, c.length)).to_hex(), c.id);
}

TEST(FileIdentity, V2FileIdDoesNotDependOnPieces) {
    // python3 tests/format/known_answers.py ("v2 file id"): hashlib.blake2b(file, digest_size=20).
    const std::vector<uint8_t> file = whole_file(FormatVersion::V2, FILE_BLOCK_SIZE + 1000);
    const std::string expected = "edf3675f6b08a228b7e7c1855096108b2edeb688";
    for (const std::size_t piece :
         {file.size(), std::size_t{FILE_BLOCK_SIZE}, HEADER_LEN, std::size_t{4097}}) {
        V2FileIdHasher hasher;
        for (std::size_t at = 0; at < file.size(); at += piece)
            hasher.update(std::span(file).subspan(at, std::min(piece, file.size() - at)));
        EXPECT_EQ(hasher.finalize().to_hex(), expected) << piece;
    }
}

TEST(FileIdentity, BrokenPreconditionsPanic) {
    EXPECT_EQ(panic_message([] { merkle_file_id({MerkleHash{}}, 59); }),
              "KRO v3 files are at least 60 bytes");
    const std::string wrong_count = panic_message([] { merkle_file_id({MerkleHash{}, MerkleHash{}}, 60); });
    EXPECT_THAT(wrong_count, HasSubstr("KRO v3 leaf count does not match file length"));
    EXPECT_THAT(wrong_count, HasSubstr("left: 2"));
    EXPECT_THAT(wrong_count, HasSubstr("right: 1"));
    EXPECT_THAT(panic_message([] { merkle_file_id({}, FILE_BLOCK_SIZE + 1); }), HasSubstr("left: 0"));
}

TEST(FileIdentity, BlockGeometry) {
    const struct {
        uint64_t length, leaves, last_len;
    } cases[] = {
        {60, 1, 60},
        {1048576, 1, 1048576},
        {1048577, 2, 1},
        {3 * FILE_BLOCK_SIZE, 3, FILE_BLOCK_SIZE},
        {~uint64_t{0}, uint64_t{1} << 44, FILE_BLOCK_SIZE - 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(v3_leaf_count(c.length), c.leaves) << c.length;
        EXPECT_EQ(file_block_len(c.length, c.leaves - 1), c.last_len) << c.length;
        EXPECT_EQ(file_block_len(c.length, c.leaves), 0u) << c.length;
    }
}

TEST(FileId, ZeroHexAndFormatting) {
    EXPECT_TRUE(FileId{}.is_zero());
    for (std::size_t i = 0; i < FileId::LEN; ++i) {
        FileId one;
        one.bytes[i] = 1;
        EXPECT_FALSE(one.is_zero()) << i;
    }
    EXPECT_EQ(sample_parent().to_hex(), "0102030405060708090a0b0c0d0e0f1011121314");
    EXPECT_EQ(fmt::format("[{:>50}]", sample_parent()), "[0102030405060708090a0b0c0d0e0f1011121314]");
    EXPECT_EQ(sample_seed().to_hex(), "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf");
    EXPECT_EQ(fmt::format("{:*^40}", sample_seed()), "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf");
    EXPECT_TRUE(ContentSeed{}.is_zero());
    EXPECT_FALSE(sample_seed().is_zero());
    const std::unordered_set<FileId> ids = {FileId{}, sample_parent(), sample_parent()};
    EXPECT_EQ(ids.size(), 2u);
    EXPECT_LT(FileId{}, sample_parent());
}

TEST(FileId, HashTablesSpreadIdsThatShareAnyPrefix) {
    // IDs that agree in all but one byte, wherever that byte is: a hash that reads only part of
    // the ID puts a whole group into one bucket, and every lookup walks it.
    for (std::size_t varied = 0; varied < FileId::LEN; ++varied) {
        std::unordered_set<FileId> ids;
        for (unsigned i = 0; i < 256; ++i) {
            FileId id = sample_parent();
            id.bytes[varied] = static_cast<uint8_t>(i);
            ids.insert(id);
        }
        ASSERT_EQ(ids.size(), 256u);
        std::size_t largest = 0;
        for (std::size_t b = 0; b < ids.bucket_count(); ++b) largest = std::max(largest, ids.bucket_size(b));
        EXPECT_LE(largest, 16u) << "byte " << varied;
    }
    EXPECT_EQ(std::hash<FileId>{}(sample_parent()), std::hash<FileId>{}(sample_parent()));
}

}  // namespace
}  // namespace kro::format
