#include "verify/lanes.hpp"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "base/errors/panic.hpp"

namespace kro::verify {
namespace {

constexpr uint64_t MiB = 1048576;

struct LaneCase {
    const char* name;
    std::vector<uint64_t> sizes;
    uint64_t budget;
    std::vector<uint64_t> lanes;
};

TEST(ParallelAllocateLanesTest, Examples) {
    const std::vector<LaneCase> cases = {
        {"proportional shares, last lane to the larger remainder",
         {10 * MiB, 30 * MiB, 1 * MiB},
         8,
         {2, 5, 1}},
        {"equal remainders go to the lower index", {4 * MiB, 4 * MiB, 4 * MiB}, 5, {2, 2, 1}},
        {"small file capped", {3 * MiB, 9 * MiB, 9 * MiB}, 4, {1, 2, 1}},
        {"large file takes the rest", {4 * MiB, 100 * MiB}, 10, {1, 9}},
        {"lanes beyond every cap are not handed out", {1 * MiB, 2 * MiB}, 256, {1, 1}},
        {"exactly one lane each", {64 * MiB, 64 * MiB}, 2, {1, 1}},
        {"a second pass hands out what a capped file could not take", {5 * MiB, 22 * MiB}, 13, {2, 11}},
        {"empty files get one lane", {0, 0, 6 * MiB}, 8, {1, 1, 3}},
        {"no files", {}, 0, {}},
        {"no files, any budget", {}, 256, {}},
    };
    for (const auto& c : cases) {
        const auto lanes = allocate_lanes(c.sizes, c.budget);
        EXPECT_EQ(lanes, c.lanes) << c.name;
        EXPECT_LE(std::accumulate(lanes.begin(), lanes.end(), uint64_t{0}), c.budget) << c.name;
    }
}

TEST(ParallelAllocateLanesTest, NeverExceedsBudgetOrCaps) {
    const std::vector<uint64_t> sizes = {5 * MiB, 17 * MiB + 3, 2 * MiB - 1, 700 * MiB, 33 * MiB, 0, 9 * MiB};
    for (uint64_t budget = sizes.size(); budget <= 300; ++budget) {
        const auto lanes = allocate_lanes(sizes, budget);
        uint64_t total = 0;
        bool all_capped = true;
        for (size_t i = 0; i < sizes.size(); ++i) {
            const uint64_t cap = std::max<uint64_t>(sizes[i] >> 21, 1);
            EXPECT_GE(lanes[i], 1u);
            EXPECT_LE(lanes[i], cap) << "file " << i << " budget " << budget;
            all_capped = all_capped && lanes[i] == cap;
            total += lanes[i];
        }
        EXPECT_LE(total, budget);
        // Lanes are only left over when every file is at its cap.
        if (total < budget) {
            EXPECT_TRUE(all_capped) << "budget " << budget;
        }
    }
}

TEST(ParallelAllocateLanesTest, BudgetBelowFileCountIsAnInvariant) {
    const std::vector<uint64_t> sizes = {MiB, MiB, MiB};
    EXPECT_THROW(allocate_lanes(sizes, 2), base::Panic);
}

TEST(VerifyFileLanesTest, OneLanePerWhole2MiB) {
    struct Case {
        uint64_t length, budget, lanes;
    };
    for (const Case& c :
         {Case{5 * MiB, 8, 2}, Case{MiB, 8, 1}, Case{0, 8, 1}, Case{4 * MiB - 1, 8, 1}, Case{4 * MiB, 8, 2},
          Case{100 * MiB, 8, 8}, Case{5 * MiB, 1, 1}, Case{UINT64_MAX, 256, 256}}) {
        EXPECT_EQ(file_lane_count(c.length, c.budget), c.lanes) << c.length << " " << c.budget;
    }
}

}  // namespace
}  // namespace kro::verify
