#include "verify/analysis/analysis.hpp"
#include "verify/analysis/chunk_compare.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <stop_token>
#include <thread>

#include "base/fd.hpp"
#include "base/panic.hpp"
#include "base/windowed_dispenser.hpp"
#include "support/scratch_dir.hpp"
#include "verify/analysis/corrupt_region.hpp"
#include "verify/analysis/memory_budget.hpp"
#include "verify_fixture.hpp"

namespace kro::verify {
namespace {

using format::FormatVersion;
using format::Header;
using P = CorruptionPattern;
using namespace kro::verify_testing;

std::vector<uint8_t> pseudo_random(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> out(n);
    for (auto& b : out) b = static_cast<uint8_t>(rng());
    return out;
}

std::vector<uint8_t> with_flipped(std::vector<uint8_t> bytes, const std::vector<size_t>& positions) {
    for (size_t p : positions) bytes[p] ^= 0x5A;
    return bytes;
}

TEST(VerifyClassifyTest, Patterns) {
    const auto expected = pseudo_random(4096, 1);
    EXPECT_EQ(classify_chunk(std::vector<uint8_t>(4096, 0), expected), P(P::ZeroFilled{}));
    EXPECT_EQ(classify_chunk(std::vector<uint8_t>(4096, 0xAB), expected), P(P::RepeatedByte{0xAB}));
    // A one-byte chunk is always all equal to its first byte.
    EXPECT_EQ(classify_chunk(std::vector<uint8_t>{7}, std::vector<uint8_t>{8}), P(P::RepeatedByte{7}));
    EXPECT_EQ(classify_chunk(std::vector<uint8_t>{0}, std::vector<uint8_t>{8}), P(P::ZeroFilled{}));
    EXPECT_EQ(classify_chunk(with_flipped(expected, {1, 2000, 4095}), expected), P(P::Sparse{3}));

    // 0, 1024, 2048, 3072 and 4096..8191 of an 8192-byte chunk: aligned although the positions
    // share a larger power of two.
    const auto big = pseudo_random(8192, 2);
    std::vector<size_t> aligned = {0, 1024, 2048, 3072};
    for (size_t p = 4096; p < 8192; ++p) aligned.push_back(p);
    EXPECT_EQ(classify_chunk(with_flipped(big, aligned), big), P(P::Aligned{512}));

    std::vector<size_t> aligned_512 = {0, 512, 1024, 1536};
    for (size_t p = 2048; p < 4096; ++p) aligned_512.push_back(p);
    EXPECT_EQ(classify_chunk(with_flipped(expected, aligned_512), expected), P(P::Aligned{512}));

    // 410 of 4096 differ (just above 10 %), the first at an unaligned place.
    std::vector<size_t> dense;
    for (size_t p = 1; p <= 410; ++p) dense.push_back(p);
    EXPECT_EQ(classify_chunk(with_flipped(expected, dense), expected), P(P::Random{410.0 / 4096.0}));
    // 409 of 4096 is below 10 %.
    dense.pop_back();
    EXPECT_EQ(classify_chunk(with_flipped(expected, dense), expected), P(P::Sparse{409}));
}

TEST(VerifyClassifyTest, PatternEquality) {
    EXPECT_EQ(P(P::Random{0.5}), P(P::Random{0.5}));
    EXPECT_NE(P(P::Random{0.5}), P(P::Random{0.25}));
    EXPECT_NE(P(P::Sparse{3}), P(P::Sparse{5}));
    EXPECT_NE(P(P::Truncated{3}), P(P::ExtraBytes{3}));
    EXPECT_NE(P(P::RepeatedByte{1}), P(P::RepeatedByte{2}));
    EXPECT_EQ(P(P::ExtraBytes{9}).tag(), 6);
    EXPECT_EQ(P(P::ZeroFilled{}).tag(), 0);
}

TEST(VerifyPushRegionTest, MergesOnlyAdjacentEqualPatterns) {
    RegionList regions;
    push_region(regions, {P::ZeroFilled{}, 60, 40});
    push_region(regions, {P::ZeroFilled{}, 100, 28});  // adjacent, equal: merged
    push_region(regions, {P::Sparse{3}, 128, 128});    // other pattern
    push_region(regions, {P::Sparse{5}, 256, 128});    // other count
    push_region(regions, {P::Sparse{5}, 512, 128});    // gap
    push_region(regions, {P::Sparse{5}, 640, 128});    // merged, keeps its payload
    const std::vector<CorruptRegion> expected = {{P::ZeroFilled{}, 60, 68},
                                                 {P::Sparse{3}, 128, 128},
                                                 {P::Sparse{5}, 256, 128},
                                                 {P::Sparse{5}, 512, 256}};
    EXPECT_EQ(std::vector<CorruptRegion>(regions), expected);
}

TEST(VerifyChunkGridTest, Ends) {
    EXPECT_EQ(chunk_end(60, 4096, 100000), 4096u);
    EXPECT_EQ(chunk_end(4096, 4096, 100000), 8192u);
    EXPECT_EQ(chunk_end(60, 4096, 1000), 1000u);
    EXPECT_EQ(chunk_end(60, 20, 1000), 80u);
    EXPECT_EQ(chunk_end(60, 1, 1000), 61u);
    EXPECT_EQ(chunk_end(60, 67108864, UINT64_MAX), 67108864u);
    EXPECT_EQ(chunk_end(UINT64_MAX - 5, 67108864, UINT64_MAX), UINT64_MAX);
}

// A sound file written in a scratch directory, then damaged and analysed.
class VerifyAnalysisTest : public ::testing::Test {
  protected:
    std::filesystem::path write(const Header& header) {
        const auto path = dir_ / "file";
        write_file(path, file_bytes(header));
        return path;
    }

    std::vector<CorruptRegion> analyze(const std::filesystem::path& path, const Header& header,
                                       uint64_t chunk_size) {
        const base::UniqueFd fd(::open(path.c_str(), O_RDONLY));
        const auto actual_len = std::filesystem::file_size(path);
        MemoryBudget budget;
        auto regions = analyze_corruption(fd.get(), header, actual_len, chunk_size, 1, budget);
        EXPECT_TRUE(regions.has_value());
        EXPECT_EQ(budget.used(), 0u);
        return regions.value_or(std::vector<CorruptRegion>{});
    }

    // Bytes of [begin, end) whose regenerated value is not zero: the ones zeroing changes.
    static std::vector<bool> changed_by_zeroing(const Header& header, uint64_t begin, uint64_t end) {
        const auto expected = content_bytes(header, begin - 60, static_cast<size_t>(end - begin));
        std::vector<bool> changed;
        for (uint8_t b : expected) changed.push_back(b != 0);
        return changed;
    }

    static uint64_t count_true(const std::vector<bool>& flags, size_t from, size_t to) {
        return static_cast<uint64_t>(std::count(flags.begin() + from, flags.begin() + to, true));
    }

    kro::testing::ScratchDir dir_;
};

TEST_F(VerifyAnalysisTest, ZeroedRangeOnA4096Grid) {
    const Header header = make_header(FormatVersion::V2, 24000);
    const auto path = write(header);
    fill_range(path, 5000, 20000, 0);
    const auto changed = changed_by_zeroing(header, 5000, 20000);
    // [4096, 8192) and [16384, 20480) are partly zeroed and go through the byte walk; the two
    // chunks in between are wholly zero and merge.
    const uint64_t head = count_true(changed, 0, 8192 - 5000);
    const uint64_t tail = count_true(changed, 16384 - 5000, 20000 - 5000);
    const std::vector<CorruptRegion> expected = {
        {P::Random{static_cast<double>(head) / 4096.0}, 4096, 4096},
        {P::ZeroFilled{}, 8192, 8192},
        {P::Random{static_cast<double>(tail) / 4096.0}, 16384, 4096},
    };
    EXPECT_EQ(analyze(path, header, 4096), expected);
}

TEST_F(VerifyAnalysisTest, ZeroedRangeOnA512Grid) {
    const Header header = make_header(FormatVersion::V3, 24000);
    const auto path = write(header);
    fill_range(path, 5000, 20000, 0);
    const auto changed = changed_by_zeroing(header, 5000, 20000);
    // [4608, 5120): 120 zeroed bytes, unaligned; [19968, 20480): 32 zeroed bytes, below 10 %.
    const uint64_t head = count_true(changed, 0, 120);
    const uint64_t tail = count_true(changed, 19968 - 5000, 20000 - 5000);
    const std::vector<CorruptRegion> expected = {
        {P::Random{static_cast<double>(head) / 512.0}, 4608, 512},
        {P::ZeroFilled{}, 5120, 19968 - 5120},
        {P::Sparse{tail}, 19968, 512},
    };
    EXPECT_EQ(analyze(path, header, 512), expected);
}

TEST_F(VerifyAnalysisTest, ZeroedRangeOneByteChunks) {
    const Header header = make_header(FormatVersion::V2, 3000);
    const auto path = write(header);
    fill_range(path, 1000, 1400, 0);
    fill_range(path, 1400, 1410, 0x77);
    const auto changed = changed_by_zeroing(header, 1000, 1400);
    // Every differing byte is a chunk of its own; runs merge, and a byte that was already zero
    // splits them.
    RegionList expected;
    for (uint64_t i = 0; i < changed.size(); ++i) {
        if (changed[i]) push_region(expected, {P::ZeroFilled{}, 1000 + i, 1});
    }
    const auto original = content_bytes(header, 1400 - 60, 10);
    for (uint64_t i = 0; i < 10; ++i) {
        if (original[i] != 0x77) push_region(expected, {P::RepeatedByte{0x77}, 1400 + i, 1});
    }
    EXPECT_EQ(analyze(path, header, 1), expected);
}

TEST_F(VerifyAnalysisTest, ChunkSizeDividingTheHeader) {
    // With a chunk of 20 the first chunk is [60, 80).
    const Header header = make_header(FormatVersion::V3, 400);
    const auto path = write(header);
    fill_range(path, 60, 80, 0xAB);
    fill_range(path, 100, 140, 0xAB);
    flip_bytes(path, {205});
    const std::vector<CorruptRegion> expected = {
        {P::RepeatedByte{0xAB}, 60, 20},
        {P::RepeatedByte{0xAB}, 100, 40},
        {P::Sparse{1}, 200, 20},
    };
    EXPECT_EQ(analyze(path, header, 20), expected);
}

TEST_F(VerifyAnalysisTest, SparseAlignedAndRandom) {
    const Header header = make_header(FormatVersion::V2, 40960);
    const auto path = write(header);
    flip_bytes(path, {4096 + 10, 4096 + 11, 4096 + 3000});  // 3 of 4096
    flip_bytes(path, {8192, 8193, 8194, 8195, 8196});       // 5 of 4096, next chunk
    std::vector<uint64_t> aligned = {16384, 16384 + 512, 16384 + 1024, 16384 + 1536};
    for (uint64_t p = 16384 + 2048; p < 20480; ++p) aligned.push_back(p);
    flip_bytes(path, aligned);
    const auto noise = pseudo_random(4096, 9);
    overwrite(path, 24576, noise);
    const auto original = content_bytes(header, 24576 - 60, 4096);
    uint64_t differing = 0;
    for (size_t i = 0; i < 4096; ++i) differing += noise[i] != original[i];
    const std::vector<CorruptRegion> expected = {
        {P::Sparse{3}, 4096, 4096},
        {P::Sparse{5}, 8192, 4096},
        {P::Aligned{512}, 16384, 4096},
        {P::Random{static_cast<double>(differing) / 4096.0}, 24576, 4096},
    };
    EXPECT_EQ(analyze(path, header, 4096), expected);
}

TEST_F(VerifyAnalysisTest, RandomContentChunkByChunk) {
    const Header header = make_header(FormatVersion::V3, 12000);
    const auto path = write(header);
    const auto noise = pseudo_random(12000 - 60, 4);
    overwrite(path, 60, noise);
    const auto original = content_bytes(header, 0, 12000 - 60);
    RegionList expected;
    for (uint64_t p = 60; p < 12000; p = chunk_end(p, 4096, 12000)) {
        const uint64_t q = chunk_end(p, 4096, 12000);
        uint64_t differing = 0;
        for (uint64_t i = p; i < q; ++i) differing += noise[i - 60] != original[i - 60];
        push_region(expected,
                    {P::Random{static_cast<double>(differing) / static_cast<double>(q - p)}, p, q - p});
    }
    const auto regions = analyze(path, header, 4096);
    EXPECT_EQ(regions, expected);
    ASSERT_FALSE(regions.empty());
    EXPECT_EQ(regions.front().offset, 60u);
    EXPECT_EQ(regions.front().length, 4036u);
}

TEST_F(VerifyAnalysisTest, TailRegions) {
    {
        const Header header = make_header(FormatVersion::V2, 1000);
        const auto path = write(header);
        truncate_file(path, 800);
        const std::vector<CorruptRegion> expected = {{P::Truncated{200}, 800, 200}};
        EXPECT_EQ(analyze(path, header, 4096), expected);
    }
    {
        const Header header = make_header(FormatVersion::V3, 1000);
        const auto path = write(header);
        append(path, std::vector<uint8_t>(200, 0));
        const std::vector<CorruptRegion> expected = {{P::ExtraBytes{200}, 1000, 200}};
        EXPECT_EQ(analyze(path, header, 4096), expected);
    }
    {
        const Header header = make_header(FormatVersion::V3, 60);
        const auto path = write(header);
        append(path, std::vector<uint8_t>(10, 1));
        const std::vector<CorruptRegion> expected = {{P::ExtraBytes{10}, 60, 10}};
        EXPECT_EQ(analyze(path, header, 4096), expected);
    }
    {
        // A file cut inside its header: nothing to compare, the whole declared rest is missing.
        const Header header = make_header(FormatVersion::V2, 5000);
        const auto path = write(header);
        truncate_file(path, 30);
        const std::vector<CorruptRegion> expected = {{P::Truncated{4970}, 30, 4970}};
        EXPECT_EQ(analyze(path, header, 4096), expected);
    }
}

TEST_F(VerifyAnalysisTest, HugeDeclaredLengthAllocatesByTheRealFile) {
    // The declared length is near 2^64; the buffers follow the 5000 real bytes.
    const Header real = make_header(FormatVersion::V2, 5000);
    const auto path = write(real);
    const Header claimed = make_header(FormatVersion::V2, UINT64_MAX - 1);
    const std::vector<CorruptRegion> expected = {
        {P::Truncated{UINT64_MAX - 1 - 5000}, 5000, UINT64_MAX - 1 - 5000}};
    EXPECT_EQ(analyze(path, claimed, 67108864), expected);
}

TEST_F(VerifyAnalysisTest, SoundFileHasNoRegion) {
    const Header header = make_header(FormatVersion::V3, 1048576 + 17);
    const auto path = write(header);
    EXPECT_TRUE(analyze(path, header, 4096).empty());
    EXPECT_TRUE(analyze(path, header, 67108864).empty());
}

TEST(VerifyMemoryBudgetTest, ReserveWaitsForRelease) {
    MemoryBudget budget(100);
    const std::stop_source stop;
    ASSERT_TRUE(budget.reserve(60, stop.get_token()));
    EXPECT_EQ(budget.used(), 60u);
    std::atomic<bool> reserved = false;
    std::thread waiter([&] { reserved = budget.reserve(50, stop.get_token()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(reserved.load());
    budget.release(60);
    waiter.join();
    EXPECT_TRUE(reserved.load());
    EXPECT_EQ(budget.used(), 50u);
    budget.release(50);
    EXPECT_EQ(budget.used(), 0u);
}

TEST(VerifyMemoryBudgetTest, ReservationLargerThanTheLimitIsABrokenInvariant) {
    // It could never be granted: its wait would not end.
    MemoryBudget budget(100);
    const std::stop_source stop;
    EXPECT_THROW(budget.reserve(101), base::Panic);
    EXPECT_THROW((void)budget.reserve(101, stop.get_token()), base::Panic);
    EXPECT_EQ(budget.used(), 0u);
    budget.reserve(100);
    EXPECT_EQ(budget.used(), 100u);
    budget.release(100);
}

TEST(VerifyMemoryBudgetTest, CancelledAnalysisGivesUp) {
    MemoryBudget budget(100);
    std::stop_source stop;
    base::WindowedDispenser dispenser(8, 4);
    ASSERT_TRUE(budget.reserve(100, stop.get_token()));
    std::thread waiter([&] { EXPECT_FALSE(budget.reserve(1, stop.get_token())); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stop.request_stop();
    waiter.join();
    // Stopped: nothing is handed out any more, though the window has room.
    EXPECT_EQ(dispenser.try_claim(stop.get_token()).state, base::WindowedDispenser::Claim::Done);
    EXPECT_EQ(budget.used(), 100u);
    // Once cancelled, no reservation succeeds, even when memory is free.
    budget.release(100);
    EXPECT_FALSE(budget.reserve(1, stop.get_token()));
}

}  // namespace
}  // namespace kro::verify
