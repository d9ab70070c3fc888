#include "gen/sizes/chacha.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

namespace kro::gen {
namespace {

ChaChaKey counting_key() {
    ChaChaKey key;
    for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(i);
    return key;
}

std::array<uint32_t, 64> blocks(const ChaChaKey& key, uint64_t counter, unsigned rounds = 12) {
    std::array<uint32_t, 64> out;
    chacha_blocks(key, counter, 0, rounds, out);
    return out;
}

// The published ChaCha20 block (key 00..1f, block count 1, nonce 00:00:00:09:00:00:00:4a:00:00:00:00),
// laid out as a 64-bit counter whose high half is the nonce's first word and a 64-bit stream.
TEST(ChaChaBlock, MatchesThePublishedChaCha20Block) {
    const uint64_t counter = 1 | uint64_t{0x09000000} << 32;
    const uint64_t stream = 0x4a000000;
    std::array<uint32_t, 64> out;
    chacha_blocks(counting_key(), counter, stream, 20, out);
    const std::array<uint32_t, 16> expected{
        0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3, 0xc7f4d1c7, 0x0368c033, 0x9aaa2204, 0x4e6cd4c3,
        0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9, 0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2,
    };
    for (size_t w = 0; w < 16; ++w) EXPECT_EQ(out[w], expected[w]) << "word " << w;
}

// The four blocks of one call are the blocks of four consecutive counters, carried in 64 bits.
TEST(ChaChaBlock, FourBlocksAreConsecutiveCounters) {
    const ChaChaKey key = counting_key();
    for (const uint64_t counter : {uint64_t{0}, uint64_t{0xfffffffe}, ~uint64_t{0} - 1}) {
        const auto four = blocks(key, counter);
        for (uint64_t k = 0; k < 4; ++k) {
            const auto single = blocks(key, counter + k);
            for (size_t w = 0; w < 16; ++w)
                ASSERT_EQ(four[16 * k + w], single[w])
                    << "counter " << counter << " block " << k << " word " << w;
        }
    }
    EXPECT_NE(blocks(key, 0, 12)[0], blocks(key, 0, 20)[0]);
}

TEST(ChaCha12Stream, FirstUseRefillsFromCounterZero) {
    ChaCha12Stream stream(counting_key());
    EXPECT_EQ(stream.index(), 64U);
    EXPECT_EQ(stream.block_counter(), 0U);
    const auto first = blocks(counting_key(), 0);
    EXPECT_EQ(stream.next_u64(), first[0] | uint64_t{first[1]} << 32);
    EXPECT_EQ(stream.index(), 2U);
    EXPECT_EQ(stream.block_counter(), 4U);
    EXPECT_EQ(stream.next_u32(), first[2]);
}

TEST(ChaCha12Stream, NextU64TakesItsHighHalfFromTheNextRefillAtWord63) {
    ChaCha12Stream stream(counting_key());
    const auto first = blocks(counting_key(), 0);
    const auto second = blocks(counting_key(), 4);
    for (int i = 0; i < 31; ++i) stream.next_u64();
    EXPECT_EQ(stream.next_u32(), first[62]);
    EXPECT_EQ(stream.index(), 63U);
    EXPECT_EQ(stream.next_u64(), first[63] | uint64_t{second[0]} << 32);
    EXPECT_EQ(stream.index(), 1U);
    EXPECT_EQ(stream.block_counter(), 8U);
    EXPECT_EQ(stream.next_u32(), second[1]);
}

TEST(ChaCha12Stream, NextU64AtTheEndRefillsFirst) {
    ChaCha12Stream stream(counting_key());
    const auto second = blocks(counting_key(), 4);
    for (int i = 0; i < 32; ++i) stream.next_u64();
    EXPECT_EQ(stream.index(), 64U);
    EXPECT_EQ(stream.next_u64(), second[0] | uint64_t{second[1]} << 32);
    EXPECT_EQ(stream.index(), 2U);
}

std::vector<uint8_t> le_bytes(std::span<const uint32_t> words) {
    std::vector<uint8_t> out;
    for (const uint32_t w : words)
        for (int b = 0; b < 4; ++b) out.push_back(static_cast<uint8_t>(w >> (8 * b)));
    return out;
}

TEST(ChaCha12Stream, FillBytesUsesAWholeWordForAPartialOne) {
    const auto first = blocks(counting_key(), 0);
    const auto second = blocks(counting_key(), 4);
    const auto bytes0 = le_bytes(first);
    const auto bytes1 = le_bytes(second);

    ChaCha12Stream six(counting_key());
    std::vector<uint8_t> out(6);
    six.fill_bytes(out);
    EXPECT_EQ(out, std::vector<uint8_t>(bytes0.begin(), bytes0.begin() + 6));
    EXPECT_EQ(six.index(), 2U);
    EXPECT_EQ(six.next_u32(), first[2]);

    // Across the buffer edge: 256 bytes, then a refill for the rest.
    ChaCha12Stream across(counting_key());
    out.assign(258, 0);
    across.fill_bytes(out);
    std::vector<uint8_t> expected = bytes0;
    expected.insert(expected.end(), bytes1.begin(), bytes1.begin() + 2);
    EXPECT_EQ(out, expected);
    EXPECT_EQ(across.index(), 1U);

    // From word 63: that word whole, then the first two bytes of the next refill's word 0.
    ChaCha12Stream edge(counting_key());
    for (int i = 0; i < 63; ++i) edge.next_u32();
    out.assign(6, 0);
    edge.fill_bytes(out);
    expected.assign(bytes0.end() - 4, bytes0.end());
    expected.insert(expected.end(), bytes1.begin(), bytes1.begin() + 2);
    EXPECT_EQ(out, expected);
    EXPECT_EQ(edge.index(), 1U);

    ChaCha12Stream empty(counting_key());
    empty.fill_bytes({});
    EXPECT_EQ(empty.index(), 64U);
}

}  // namespace
}  // namespace kro::gen
