#include "base/windowed_dispenser.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <optional>
#include <vector>

namespace kro::base {
namespace {

using namespace std::chrono_literals;

using Waiter = std::future<std::optional<size_t>>;

// `count` threads, each claiming one index, given a moment to start waiting.
std::vector<Waiter> start_waiters(JobDispenser& dispenser, size_t total, size_t window, int count) {
    std::vector<Waiter> waiters;
    for (int i = 0; i < count; ++i) {
        waiters.push_back(std::async(
            std::launch::async, [&dispenser, total, window] { return dispenser.claim_next(total, window); }));
    }
    std::this_thread::sleep_for(20ms);
    return waiters;
}

TEST(ParallelJobDispenserTest, HandsOutInOrderWithinTheWindow) {
    JobDispenser dispenser;
    EXPECT_EQ(dispenser.claim_next(5, 2), 0u);
    EXPECT_EQ(dispenser.claim_next(5, 2), 1u);
    auto third = std::async(std::launch::async, [&] { return dispenser.claim_next(5, 2); });
    EXPECT_EQ(third.wait_for(20ms), std::future_status::timeout);  // two past the last release
    dispenser.release_one();
    ASSERT_EQ(third.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(third.get(), 2u);
}

TEST(ParallelJobDispenserTest, WaitersEndWhenTheLastIndexIsOut) {
    JobDispenser dispenser;
    ASSERT_EQ(dispenser.claim_next(2, 1), 0u);
    auto waiters = start_waiters(dispenser, 2, 1, 3);
    dispenser.release_one();  // lets index 1 out, the last one: nobody may keep waiting
    size_t claimed = 0;
    for (auto& waiter : waiters) {
        ASSERT_EQ(waiter.wait_for(10s), std::future_status::ready);
        const auto index = waiter.get();
        if (index) {
            EXPECT_EQ(*index, 1u);
            ++claimed;
        }
    }
    EXPECT_EQ(claimed, 1u);
}

// Several results released at once let as many waiting workers out, each with its own index.
TEST(ParallelJobDispenserTest, ReleasingSeveralWakesAsManyWaiters) {
    JobDispenser dispenser;
    ASSERT_EQ(dispenser.claim_next(10, 1), 0u);
    auto waiters = start_waiters(dispenser, 10, 1, 3);
    dispenser.release(3);
    std::vector<size_t> claimed;
    for (auto& waiter : waiters) {
        ASSERT_EQ(waiter.wait_for(10s), std::future_status::ready);
        claimed.push_back(waiter.get().value());
    }
    std::sort(claimed.begin(), claimed.end());
    EXPECT_EQ(claimed, (std::vector<size_t>{1, 2, 3}));
    EXPECT_EQ(dispenser.claim_next(10, 4), 4u);  // released 3, window 4: up to index 6
}

TEST(ParallelJobDispenserTest, StopWakesEveryWaiter) {
    JobDispenser dispenser;
    ASSERT_EQ(dispenser.claim_next(10, 1), 0u);
    auto waiters = start_waiters(dispenser, 10, 1, 3);
    dispenser.stop();
    for (auto& waiter : waiters) {
        ASSERT_EQ(waiter.wait_for(10s), std::future_status::ready);
        EXPECT_FALSE(waiter.get().has_value());
    }
    dispenser.release_one();
    EXPECT_FALSE(dispenser.claim_next(10, 1).has_value());
}

}  // namespace
}  // namespace kro::base
