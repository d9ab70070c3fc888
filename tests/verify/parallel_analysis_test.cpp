#include "verify/analysis/parallel_analysis.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "parallel_fixture.hpp"
#include "support/scratch_dir.hpp"
#include "verify/analysis/analysis.hpp"
#include "verify/analysis/chunk_compare.hpp"
#include "verify_fixture.hpp"

namespace kro::verify {
namespace {

using format::FormatVersion;
using format::Header;
using P = CorruptionPattern;
using namespace kro::verify_testing;
using namespace kro::parallel_testing;

constexpr uint64_t UNIT = 8 * MiB;

std::vector<uint8_t> noise(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> out(n);
    for (auto& b : out) b = static_cast<uint8_t>(rng());
    return out;
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
        const auto random = noise(70000, 3);
        const base::UniqueFd fd(::open(path_.c_str(), O_WRONLY));
        ASSERT_EQ(::pwrite(fd.get(), random.data(), random.size(), 12 * MiB + 11), 70000);
        truncate_file(path_, 17 * MiB - 3);
    }

    std::expected<std::vector<CorruptRegion>, base::IoError> analyze(uint64_t chunk_size, uint64_t workers,
                                                                     MemoryBudget& budget,
                                                                     const base::Hooks* hooks = nullptr) {
        const auto fd = open_read(path_);
        return analyze_corruption(fd.get(), header_, std::filesystem::file_size(path_), chunk_size, workers,
                                  budget, hooks);
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
        const SpawnCounter counter(base::Stage::AnalysisUnit, fail_from);
        MemoryBudget budget;
        const auto regions = analyze(4096, 16, budget, &counter);
        ASSERT_TRUE(regions.has_value());
        EXPECT_EQ(regions_text(*regions), regions_text(expected)) << fail_from;
        EXPECT_EQ(counter.attempts.load(), fail_from + 1);
    }
}

TEST_F(ParallelAnalysisTest, LowestFailingUnitWins) {
    for (int round = 0; round < 5; ++round) {
        const TwoErrors errors(base::Stage::AnalysisUnit, 1, 2);
        MemoryBudget budget;
        const auto regions = analyze(4096, 16, budget, &errors);
        ASSERT_FALSE(regions.has_value());
        EXPECT_EQ(regions.error().message(), "injected error at 1");
        EXPECT_EQ(budget.used(), 0u);
    }
    // A real read failure: every unit fails, the first one's error is returned.
    const base::UniqueFd write_only(::open(path_.c_str(), O_WRONLY));
    MemoryBudget budget;
    const auto regions = analyze_parallel(write_only.get(), header_, 17 * MiB - 3, 4096, 3, budget);
    ASSERT_FALSE(regions.has_value());
    EXPECT_EQ(regions.error().code(), EBADF);
}

TEST_F(ParallelAnalysisTest, FaultIsRaisedAfterEveryThreadEndedAndMemoryReturns) {
    {
        const SlowAndFaulty fault(base::Stage::AnalysisUnit, 0, 1);
        MemoryBudget budget;
        expect_injected_fault([&] { (void)analyze(4096, 3, budget, &fault); });
        EXPECT_TRUE(fault.slow_done.load());
        EXPECT_EQ(budget.used(), 0u);
    }
    {
        // No worker started: the calling thread's own unit faults.
        struct WithoutThreads : SlowAndFaulty {
            using SlowAndFaulty::SlowAndFaulty;
            bool refuse_spawn(base::Stage, size_t) const override { return true; }
        };
        const WithoutThreads fault(base::Stage::AnalysisUnit, 0, 1);
        MemoryBudget budget;
        expect_injected_fault([&] { (void)analyze(4096, 3, budget, &fault); });
        EXPECT_EQ(budget.used(), 0u);
    }
    {
        // Only worker threads fault; the calling thread holds its unit until one of them has.
        struct WorkersFault : base::Hooks {
            std::optional<base::IoError> before_item(base::Stage, uint64_t) const override {
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
        const FaultAfterError fault(base::Stage::AnalysisUnit, 1, 2);
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
    const auto fd = open_read(path);
    MemoryBudget budget;
    const auto regions = analyze_parallel(fd.get(), header, 50, 4096, 8, budget);
    ASSERT_TRUE(regions.has_value());
    EXPECT_EQ(regions_text(*regions), std::vector<std::string>{"Truncated(950)@50+950"});
}

}  // namespace
}  // namespace kro::verify
