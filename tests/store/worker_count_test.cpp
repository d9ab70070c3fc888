#include "store/worker_count.hpp"

#include <gtest/gtest.h>

namespace kro::store {
namespace {

TEST(StoreWorkerCountTest, HalfTheProcessorsBetweenTwoAndEight) {
    struct Case {
        std::optional<size_t> available;
        size_t workers;
    };
    const Case cases[] = {
        {std::nullopt, 1}, {1, 1},  {2, 2},  {3, 2},  {5, 2},  {6, 3},  {7, 3},  {8, 4},  {9, 4},   {10, 5},
        {11, 5},           {12, 6}, {13, 6}, {14, 7}, {15, 7}, {16, 8}, {17, 8}, {64, 8}, {1024, 8}};
    for (const auto& c : cases) {
        EXPECT_EQ(worker_count_for(c.available), c.workers) << "available " << c.available.value_or(0);
    }
}

TEST(StoreWorkerCountTest, ThisMachineGivesAValueInRange) {
    const size_t n = default_worker_count();
    EXPECT_GE(n, 1u);
    EXPECT_LE(n, 8u);
}

}  // namespace
}  // namespace kro::store
