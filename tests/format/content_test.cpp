#include "format/content.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "format/format_fixtures.hpp"
#include "format/hex.hpp"

namespace kro::format {
namespace {

using testing::panic_message;
using testing::sample_seed;

constexpr FormatVersion V2 = FormatVersion::V2;
constexpr FormatVersion V3 = FormatVersion::V3;

// The first n bytes of the content stream, built from whole blocks.
std::vector<uint8_t> stream_prefix(FormatVersion version, std::size_t n) {
    std::vector<uint8_t> out(n);
    std::size_t at = 0;
    for (uint64_t k = 0; at < n; ++k) {
        const std::size_t len = std::min<std::size_t>(content_block_capacity(k), n - at);
        fill_content_block(version, sample_seed(), k, std::span(out).subspan(at, len));
        at += len;
    }
    return out;
}

std::string first_bytes_hex(FormatVersion version, uint64_t block, std::size_t n) {
    std::vector<uint8_t> out(n);
    fill_content_block(version, sample_seed(), block, out);
    return encode_hex(out);
}

TEST(ContentBlock, KnownAnswers) {
    // python3 tests/format/known_answers.py ("content vN block k first 32"): hashlib.shake_128 of
    // "kro:content:shake128:vN:" ‖ seed ‖ k (big-endian u64).
    const struct {
        FormatVersion version;
        uint64_t block;
        const char* hex;
    } cases[] = {
        {V2, 0, "ba08419b0911a1eb6cb052b2ae2a5dc35d1aa6e1bed0065ab0c6d48648835b6b"},
        {V2, 1, "59cd65c4d7dd7191c62acbec30b50e85910a2c17c49f98d621482ff9c73521c3"},
        {V2, 2, "a79da7114845512e8e1db5502609c8eccb867225cbb5686262232ef6ca9022c2"},
        {V3, 0, "723ab7983bf86e82449b90786de7a1121fe3a2ff52a88d39b6cb54e828df05ec"},
        {V3, 1, "9cbc88dd9d216443e4209b474a7fc7912443461f85f52d89b5fe421544bfef48"},
        {V3, 2, "add73fe40be6f73a018ce97949345ebfaf3582d9e2520c4bfe0baee4aa9f4d2d"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(first_bytes_hex(c.version, c.block, 32), c.hex)
            << to_string(c.version) << " block " << c.block;
}

TEST(ContentBlock, WholeFirstBlockEndsWithKnownBytes) {
    // python3 tests/format/known_answers.py ("content vN block 0 last 16").
    for (const auto& [version, tail] : {std::pair{V2, "8d966f75a94522162cac5baaf83b3d80"},
                                        std::pair{V3, "067823810d43a545d0f81a87cf4424ad"}}) {
        std::vector<uint8_t> block(FIRST_CONTENT_BLOCK_LEN);
        fill_content_block(version, sample_seed(), 0, block);
        EXPECT_EQ(encode_hex(std::span(block).last(16)), tail);
    }
}

TEST(ContentBlock, LengthLimits) {
    EXPECT_EQ(FIRST_CONTENT_BLOCK_LEN, 1048516u);
    std::vector<uint8_t> buffer(FILE_BLOCK_SIZE + 1, 0x5A);
    EXPECT_EQ(
        panic_message([&] { fill_content_block(V3, sample_seed(), 0, std::span(buffer).first(1048517)); }),
        "content block 0 is at most 1048516 bytes");
    EXPECT_EQ(panic_message([&] { fill_content_block(V3, sample_seed(), 7, buffer); }),
              "content block 7 is at most 1048576 bytes");
    EXPECT_EQ(panic_message([&] {
                  fill_content_block(V3, sample_seed(), 1, std::span(buffer).first(FILE_BLOCK_SIZE));
              }),
              "no panic");
    std::fill(buffer.begin(), buffer.end(), 0x5A);
    fill_content_block(V3, sample_seed(), 0, std::span(buffer).first(0));
    EXPECT_EQ(buffer[0], 0x5A);
}

TEST(ContentBlock, CallerSpongeGivesTheSameBytes) {
    Shake128 sponge;
    std::vector<uint8_t> a(1000), b(1000);
    for (const uint64_t k : {uint64_t{3}, uint64_t{0}, uint64_t{3}}) {
        fill_content_block(sponge, V3, sample_seed(), k, a);
        fill_content_block(V3, sample_seed(), k, b);
        EXPECT_EQ(a, b) << k;
    }
}

TEST(ContentBlock, SpongesForSharedBuffersGiveTheSameBytes) {
    // A shared-output sponge squeezes large outputs through a 16 KiB stage: lengths around and
    // across the stage, and a whole block, with both sponges reused from block to block.
    Shake128 private_sponge;
    Shake128 shared_sponge(Shake128::Output::Shared);
    uint64_t block = 0;
    for (const std::size_t n : {std::size_t{1}, std::size_t{16384}, std::size_t{16385},
                                std::size_t{3 * 16384 + 7}, std::size_t{FIRST_CONTENT_BLOCK_LEN}}) {
        std::vector<uint8_t> expected(n);
        std::vector<uint8_t> got(n, 0xEE);
        fill_content_block(private_sponge, V3, sample_seed(), block, expected);
        fill_content_block(shared_sponge, V3, sample_seed(), block, got);
        EXPECT_EQ(got, expected) << n;
        block = block == 0 ? 5 : 0;
    }
}

TEST(ContentBlock, VersionsGiveUnrelatedContent) {
    EXPECT_NE(first_bytes_hex(V2, 0, 16), first_bytes_hex(V3, 0, 16));
}

constexpr std::size_t STREAM_LEN = 3000000;  // blocks 0, 1 and the start of block 2

TEST(ContentReader, PieceSizesDoNotChangeTheStream) {
    for (const FormatVersion version : {V2, V3}) {
        const std::vector<uint8_t> expected = stream_prefix(version, STREAM_LEN);
        std::vector<uint8_t> whole(STREAM_LEN);
        ContentReader::at_offset(sample_seed(), 0, version).fill(whole);
        EXPECT_EQ(whole, expected);

        std::vector<uint8_t> pieces(STREAM_LEN);
        ContentReader reader = ContentReader::at_offset(sample_seed(), 0, version);
        const std::size_t sizes[] = {0, 1, 167, 168, 169, 8193};
        for (std::size_t at = 0, i = 0; at < STREAM_LEN; ++i) {
            const std::size_t n = std::min(sizes[i % std::size(sizes)], STREAM_LEN - at);
            EXPECT_EQ(reader.read(std::span(pieces).subspan(at, n)), n);
            at += n;
        }
        EXPECT_EQ(pieces, expected);
    }
}

TEST(ContentReader, StartsAtAnyOffset) {
    const std::vector<uint8_t> expected = stream_prefix(V3, STREAM_LEN);
    // Around both block boundaries, inside the discard chunk size and across it.
    const uint64_t offsets[] = {0,       1,       167,     8192,    8193,    20000,
                                1048515, 1048516, 1048517, 2097091, 2097092, 2097093};
    for (const uint64_t offset : offsets) {
        std::vector<uint8_t> got(300);
        ContentReader::at_offset(sample_seed(), offset, V3).fill(got);
        EXPECT_TRUE(std::equal(got.begin(), got.end(), expected.begin() + offset)) << offset;
    }
}

TEST(ContentReader, NeverEnds) {
    // Offset 2097092 + 10 MiB is the start of block 12; 100 bytes in is block 12, offset 100.
    const uint64_t block12 = FIRST_CONTENT_BLOCK_LEN + 11 * FILE_BLOCK_SIZE;
    std::vector<uint8_t> expected(FILE_BLOCK_SIZE + 50);
    fill_content_block(V3, sample_seed(), 12, std::span(expected).first(FILE_BLOCK_SIZE));
    fill_content_block(V3, sample_seed(), 13, std::span(expected).subspan(FILE_BLOCK_SIZE));
    std::vector<uint8_t> got(FILE_BLOCK_SIZE - 50);
    ContentReader::at_offset(sample_seed(), block12 + 100, V3).fill(got);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), expected.begin() + 100));

    std::vector<uint8_t> from_start(64);
    ContentReader::at_offset(sample_seed(), block12, V3).fill(from_start);
    EXPECT_TRUE(std::equal(from_start.begin(), from_start.end(), expected.begin()));
}

}  // namespace
}  // namespace kro::format
