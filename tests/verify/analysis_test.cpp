#include "verify/corruption_analysis.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <stop_token>
#include <thread>

#include "base/errors/panic.hpp"
#include "base/fd.hpp"
#include "base/parallel/windowed_dispenser.hpp"
#include "data_file_fixture.hpp"
#include "parallel_fixture.hpp"
#include "support/scratch_dir.hpp"
#include "verify/analysis/chunk_compare.hpp"
#include "verify/analysis/corrupt_region.hpp"
#include "verify/analysis/memory_budget.hpp"
#include "verify_fixture.hpp"

namespace kro::verify {
namespace {

using format::FormatVersion;
using format::Header;
using P = CorruptionPattern;
using namespace kro::verify_testing;
using namespace kro::parallel_testing;

constexpr uint64_t UNIT = 8 * MiB;

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
        MemoryBudget budget;
        const CheckedFile file(path, header, {.chunk_size = chunk_size, .budget = &budget});
        auto regions = analyze_corruption(file.reader());
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

class ParallelAnalysisTest : public ::testing::Test {
  protected:
    // A damaged v3 file of 17 MiB + 5 declared bytes, cut to 17 MiB - 3: damage in every unit of
    // 8 MiB, across unit boundaries, and a truncated tail.
    void SetUp() override {
        header_ = make_header(FormatVersion::V3, 17 * MiB + 5, {}, 9);
        path_ = dir_ / "damaged";
        write_file(path_, file_bytes(header_));
        overwrite(path_, UNIT - 5000,
                  std::vector<uint8_t>(10000, 0));  // zeros across the first unit boundary
        overwrite(path_, 2 * UNIT - 1, std::vector<uint8_t>(3, 0xAB));  // repeated bytes across the second
        flip_bytes(path_, {61, 62, 4096 * 7 + 1, 3 * MiB + 1});         // sparse
        const auto random = pseudo_random(70000, 3);
        const base::UniqueFd fd(::open(path_.c_str(), O_WRONLY));
        ASSERT_EQ(::pwrite(fd.get(), random.data(), random.size(), 12 * MiB + 11), 70000);
        truncate_file(path_, 17 * MiB - 3);
    }

    std::expected<std::vector<CorruptRegion>, base::IoError> analyze(uint64_t chunk_size, uint64_t workers,
                                                                     MemoryBudget& budget,
                                                                     const base::Hooks* hooks = nullptr) {
        const CheckedFile file(
            path_, header_, {.lanes = workers, .hooks = hooks, .chunk_size = chunk_size, .budget = &budget});
        return analyze_corruption(file.reader());
    }

    std::vector<CorruptRegion> sequential(uint64_t chunk_size) {
        MemoryBudget budget;
        auto regions = analyze(chunk_size, 1, budget);
        EXPECT_TRUE(regions.has_value());
        return regions.value_or(std::vector<CorruptRegion>{});
    }

    kro::testing::ScratchDir dir_;
    Header header_ = make_header(FormatVersion::V3, 60);
    std::filesystem::path path_;
};

TEST_F(ParallelAnalysisTest, SameRegionsForEveryThreadCount) {
    // Chunks that divide the unit, that do not (units end off the block grid), two to a unit,
    // larger than a unit, and larger than the file.
    struct Case {
        uint64_t chunk_size;
        std::vector<uint64_t> workers;
    };
    const std::vector<Case> cases = {
        {4096, {2, 3, 16}}, {1000, {2, 16}}, {3 * MiB, {16}}, {9 * MiB + 3, {16}}, {64 * MiB, {16}},
    };
    for (const auto& [chunk_size, worker_counts] : cases) {
        const auto expected = sequential(chunk_size);
        ASSERT_FALSE(expected.empty());
        for (uint64_t workers : worker_counts) {
            MemoryBudget budget;
            const auto regions = analyze(chunk_size, workers, budget);
            ASSERT_TRUE(regions.has_value()) << chunk_size;
            EXPECT_EQ(regions_text(*regions), regions_text(expected))
                << "chunk " << chunk_size << ", " << workers;
            EXPECT_EQ(budget.used(), 0u);
        }
    }
}

TEST_F(ParallelAnalysisTest, RegionsMergeAcrossUnits) {
    MemoryBudget budget;
    const auto regions = analyze(4096, 16, budget);
    ASSERT_TRUE(regions.has_value());
    // The zeroed range [8 MiB - 5000, 8 MiB + 5000) covers the whole chunk on each side of the
    // unit boundary: one region across both units.
    const auto zeros = std::find_if(regions->begin(), regions->end(), [](const CorruptRegion& r) {
        return r.pattern.get_if<CorruptionPattern::ZeroFilled>() != nullptr;
    });
    ASSERT_NE(zeros, regions->end());
    EXPECT_EQ(zeros->offset, UNIT - 4096);
    EXPECT_EQ(zeros->length, 2 * 4096u);
    EXPECT_EQ(regions_text(*regions).back(), "Truncated(8)@17825789+8");
}

TEST_F(ParallelAnalysisTest, UnitsThatCannotStartLeaveTheWorkToTheOthers) {
    const auto expected = sequential(4096);
    for (size_t fail_from : {0, 1}) {
        const SpawnCounter counter(verify::ANALYSIS_UNIT, fail_from);
        MemoryBudget budget;
        const auto regions = analyze(4096, 16, budget, &counter);
        ASSERT_TRUE(regions.has_value());
        EXPECT_EQ(regions_text(*regions), regions_text(expected)) << fail_from;
        EXPECT_EQ(counter.attempts.load(), fail_from + 1);
    }
}

TEST_F(ParallelAnalysisTest, LowestFailingUnitWins) {
    for (int round = 0; round < 5; ++round) {
        const TwoErrors errors(verify::ANALYSIS_UNIT, 1, 2);
        MemoryBudget budget;
        const auto regions = analyze(4096, 16, budget, &errors);
        ASSERT_FALSE(regions.has_value());
        EXPECT_EQ(regions.error().message(), "injected error at 1");
        EXPECT_EQ(budget.used(), 0u);
    }
    // A real read failure: every unit fails, the first one's error is returned.
    MemoryBudget budget;
    const CheckedFile write_only(path_, header_, {.lanes = 3, .budget = &budget, .open_flags = O_WRONLY});
    const auto regions = analyze_corruption(write_only.reader());
    ASSERT_FALSE(regions.has_value());
    EXPECT_EQ(regions.error().code(), EBADF);
}

TEST_F(ParallelAnalysisTest, FaultIsRaisedAfterEveryThreadEndedAndMemoryReturns) {
    {
        const SlowAndFaulty fault(verify::ANALYSIS_UNIT, 0, 1);
        MemoryBudget budget;
        expect_injected_fault([&] { (void)analyze(4096, 3, budget, &fault); });
        EXPECT_TRUE(fault.slow_done.load());
        EXPECT_EQ(budget.used(), 0u);
    }
    {
        // No worker started: the calling thread's own unit faults.
        struct WithoutThreads : SlowAndFaulty {
            using SlowAndFaulty::SlowAndFaulty;
            bool refuse_spawn(base::StageName, size_t) const override { return true; }
        };
        const WithoutThreads fault(verify::ANALYSIS_UNIT, 0, 1);
        MemoryBudget budget;
        expect_injected_fault([&] { (void)analyze(4096, 3, budget, &fault); });
        EXPECT_EQ(budget.used(), 0u);
    }
    {
        // Only worker threads fault; the calling thread holds its unit until one of them has.
        struct WorkersFault : base::Hooks {
            std::optional<base::IoError> before_item(base::StageName, uint64_t) const override {
                if (std::this_thread::get_id() == caller) {
                    EXPECT_TRUE(wait_for(faulted));
                    return std::nullopt;
                }
                faulted = true;
                base::panic("injected fault");
            }
            std::thread::id caller = std::this_thread::get_id();
            mutable std::atomic<bool> faulted{false};
        };
        const WorkersFault hooks;
        MemoryBudget budget;
        expect_injected_fault([&] { (void)analyze(4096, 3, budget, &hooks); });
        EXPECT_EQ(budget.used(), 0u);
    }
    {
        const FaultAfterError fault(verify::ANALYSIS_UNIT, 1, 2);
        MemoryBudget budget;
        expect_injected_fault([&] { (void)analyze(4096, 3, budget, &fault); });
    }
}

TEST_F(ParallelAnalysisTest, SharedBudgetBoundsConcurrentAnalyses) {
    const auto expected = sequential(4096);
    // Room for one full unit (two 8 MiB buffers) and a little more: four analyses of three
    // units each must take turns.
    MemoryBudget budget(2 * UNIT + 4 * MiB);
    const ReservationCounter counter;
    std::vector<std::vector<std::string>> results(4);
    {
        std::vector<std::jthread> threads;
        for (auto& result : results) {
            threads.emplace_back([&] {
                const auto regions = analyze(4096, 16, budget, &counter);
                if (regions) result = regions_text(*regions);
            });
        }
    }
    for (const auto& result : results) EXPECT_EQ(result, regions_text(expected));
    EXPECT_LE(counter.peak.load(), static_cast<int64_t>(budget.limit()));
    EXPECT_GE(counter.peak.load(), static_cast<int64_t>(2 * UNIT));
    EXPECT_EQ(counter.grants.load(), 4 * 3u);
    EXPECT_EQ(counter.now.load(), 0);
    EXPECT_EQ(budget.used(), 0u);
}

TEST_F(ParallelAnalysisTest, SequentialAnalysisWaitsForItsBuffersInTheSharedBudget) {
    const auto expected = sequential(4096);
    // Its two buffers of 1 MiB do not fit beside what another analysis holds.
    MemoryBudget budget(3 * MiB);
    budget.reserve(2 * MiB);
    const ReservationCounter counter;
    std::atomic<bool> done{false};
    std::vector<CorruptRegion> regions;
    std::thread analysis([&] {
        regions = analyze(4096, 1, budget, &counter).value_or(std::vector<CorruptRegion>{});
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(done.load());
    EXPECT_EQ(counter.grants.load(), 0u);
    budget.release(2 * MiB);
    analysis.join();
    EXPECT_EQ(regions_text(regions), regions_text(expected));
    EXPECT_EQ(counter.grants.load(), 1u);
    EXPECT_EQ(counter.peak.load(), static_cast<int64_t>(2 * MiB));
    EXPECT_EQ(counter.now.load(), 0);
    EXPECT_EQ(budget.used(), 0u);
}

TEST_F(ParallelAnalysisTest, SequentialAndParallelAnalysesTakeTurnsInOneBudget) {
    const auto expected = sequential(4096);
    // One full unit (two 8 MiB buffers) and a sequential analysis (two of 1 MiB) do not fit
    // together.
    MemoryBudget budget(2 * UNIT + MiB);
    const ReservationCounter counter;
    const std::vector<uint64_t> workers = {1, 16, 1, 16};
    std::vector<std::vector<std::string>> results(workers.size());
    {
        std::vector<std::jthread> threads;
        for (size_t i = 0; i < workers.size(); ++i) {
            threads.emplace_back([&, i] {
                const auto regions = analyze(4096, workers[i], budget, &counter);
                if (regions) results[i] = regions_text(*regions);
            });
        }
    }
    for (const auto& result : results) EXPECT_EQ(result, regions_text(expected));
    EXPECT_LE(counter.peak.load(), static_cast<int64_t>(budget.limit()));
    EXPECT_EQ(counter.grants.load(), 2 * 1u + 2 * 3u);
    EXPECT_EQ(counter.now.load(), 0);
    EXPECT_EQ(budget.used(), 0u);
}

// The regions of the first `span_end` bytes of `bytes` as the plain walk finds them: one read, one
// chunk after the other, every chunk compared whole; then the tail region of a file that is
// `span_end` bytes long.
RegionList plain_walk(const std::vector<uint8_t>& bytes, const Header& header, uint64_t span_end,
                      uint64_t chunk_size) {
    const auto expected = content_bytes(header, 0, static_cast<size_t>(span_end - 60));
    RegionList regions;
    for (uint64_t p = 60; p < span_end;) {
        const uint64_t q = chunk_end(p, chunk_size, span_end);
        const auto actual = std::span(bytes).subspan(p, q - p);
        const auto wanted = std::span(expected).subspan(p - 60, q - p);
        if (!std::equal(actual.begin(), actual.end(), wanted.begin())) {
            push_region(regions, {classify_chunk(actual, wanted), p, q - p});
        }
        p = q;
    }
    const uint64_t declared = header.file_length();
    if (span_end < declared)
        push_region(regions, {P::Truncated{declared - span_end}, span_end, declared - span_end});
    return regions;
}

TEST_F(ParallelAnalysisTest, EveryChunkSizeAndLaneCountFindsWhatThePlainWalkFinds) {
    // The sequential analysis reads 1 MiB at a time and the parallel one 8 MiB: the damage lies
    // across both kinds of boundary, and some chunk sizes divide neither.
    const auto bytes = read_file(path_);
    struct Case {
        uint64_t chunk_size;
        std::vector<uint64_t> workers;
    };
    for (const auto& [chunk_size, worker_counts] :
         {Case{1, {1, 16}}, Case{1000, {1, 3}}, Case{4096, {1, 16}}, Case{3 * MiB + 1, {1, 16}}}) {
        const auto expected = regions_text(plain_walk(bytes, header_, bytes.size(), chunk_size));
        for (uint64_t workers : worker_counts) {
            MemoryBudget budget;
            const auto regions = analyze(chunk_size, workers, budget);
            ASSERT_TRUE(regions.has_value());
            EXPECT_EQ(regions_text(*regions), expected) << "chunk " << chunk_size << ", " << workers;
        }
    }
}

TEST_F(ParallelAnalysisTest, FileThatShrinksWhileAnalysedIsMissingFromWhereItEnds) {
    // The metadata said 17 MiB - 3 bytes; the reads end earlier. What they got is compared, and
    // the rest is missing, never taken for sound content: the regions of a file of that length.
    const auto bytes = read_file(path_);
    struct Case {
        uint64_t shrunk_to;
        uint64_t chunk_size;
        std::vector<uint64_t> workers;
    };
    const std::vector<Case> cases = {
        {9 * MiB + 123, 4096, {1, 2, 16}},  // inside the second unit, after damage across the first boundary
        {9 * MiB + 123, 1, {1, 16}},
        {2 * MiB, 1000, {1, 16}},  // on a read boundary of the sequential analysis, inside a chunk
        {UNIT, 4096, {1, 16}},     // on a unit boundary
        {60, 4096, {1, 16}},       // nothing but the header
    };
    for (const Case& c : cases) {
        const auto expected = regions_text(plain_walk(bytes, header_, c.shrunk_to, c.chunk_size));
        for (uint64_t workers : c.workers) {
            MemoryBudget budget;
            const ShrinkingTo shrunk(c.shrunk_to);
            const auto regions = analyze(c.chunk_size, workers, budget, &shrunk);
            ASSERT_TRUE(regions.has_value());
            EXPECT_EQ(regions_text(*regions), expected)
                << c.shrunk_to << " " << c.chunk_size << " " << workers;
            EXPECT_EQ(budget.used(), 0u);
        }
    }
}

TEST(ParallelAnalysisPlanTest, Units) {
    struct Case {
        uint64_t end;
        uint64_t chunk_size;
        uint64_t workers;
        AnalysisUnits units;
    };
    const std::vector<Case> cases = {
        {17 * MiB, 4096, 16, {8 * MiB, 3, 3}},
        {17 * MiB, 1000, 16, {8388000, 3, 3}},
        {17 * MiB, 3 * MiB, 16, {6 * MiB, 3, 3}},
        {17 * MiB, 8 * MiB + 1, 16, {8 * MiB + 1, 3, 3}},
        {200 * MiB, 64 * MiB, 16, {64 * MiB, 4, 2}},  // two 64 MiB buffers per thread: two threads
        {1024 * MiB, 4096, 256, {8 * MiB, 128, 16}},  // sixteen threads fill the memory limit
        {8 * MiB, 4096, 16, {8 * MiB, 1, 1}},
        {8 * MiB + 1, 4096, 2, {8 * MiB, 2, 2}},
        {100, 1, 8, {8 * MiB, 1, 1}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(plan_analysis_units(c.end, c.chunk_size, c.workers), c.units)
            << c.end << " " << c.chunk_size;
    }
    EXPECT_THROW(plan_analysis_units(MiB, 64 * MiB + 1, 2), base::Panic);
}

TEST(ParallelAnalysisShortTest, TailOnlyFiles) {
    kro::testing::ScratchDir dir;
    const Header header = make_header(FormatVersion::V2, 1000);
    const auto path = dir / "short";
    write_file(path, file_bytes(header));
    truncate_file(path, 50);
    const CheckedFile file(path, header, {.lanes = 8});
    const auto regions = analyze_corruption(file.reader());
    ASSERT_TRUE(regions.has_value());
    EXPECT_EQ(regions_text(*regions), std::vector<std::string>{"Truncated(950)@50+950"});
}

}  // namespace
}  // namespace kro::verify
