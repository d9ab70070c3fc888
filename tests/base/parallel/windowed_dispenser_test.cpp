#include "base/parallel/windowed_dispenser.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <optional>
#include <stop_token>
#include <vector>

namespace kro::base {
namespace {

using namespace std::chrono_literals;

using Waiter = std::future<std::optional<uint64_t>>;

// `count` threads, each claiming one index, given a moment to start waiting.
std::vector<Waiter> start_waiters(WindowedDispenser& dispenser, int count, std::stop_token stop = {}) {
    std::vector<Waiter> waiters;
    for (int i = 0; i < count; ++i) {
        waiters.push_back(
            std::async(std::launch::async, [&dispenser, stop] { return dispenser.claim(stop); }));
    }
    std::this_thread::sleep_for(20ms);
    return waiters;
}

TEST(WindowedDispenserTest, HandsOutInOrderWithinTheWindow) {
    WindowedDispenser dispenser(5, 2);
    EXPECT_EQ(dispenser.claim(), 0u);
    EXPECT_EQ(dispenser.claim(), 1u);
    EXPECT_EQ(dispenser.try_claim().state, WindowedDispenser::Claim::Wait);
    auto third = std::async(std::launch::async, [&] { return dispenser.claim(); });
    EXPECT_EQ(third.wait_for(20ms), std::future_status::timeout);  // two past the last release
    dispenser.release(1);
    ASSERT_EQ(third.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(third.get(), 2u);
}

TEST(WindowedDispenserTest, WaitersEndWhenTheLastIndexIsOut) {
    WindowedDispenser dispenser(2, 1);
    ASSERT_EQ(dispenser.claim(), 0u);
    auto waiters = start_waiters(dispenser, 3);
    dispenser.release(1);  // lets index 1 out, the last one: nobody may keep waiting
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
TEST(WindowedDispenserTest, ReleasingSeveralWakesAsManyWaiters) {
    WindowedDispenser dispenser(10, 1);
    ASSERT_EQ(dispenser.claim(), 0u);
    auto waiters = start_waiters(dispenser, 3);
    dispenser.release(3);
    std::vector<uint64_t> claimed;
    for (auto& waiter : waiters) {
        ASSERT_EQ(waiter.wait_for(10s), std::future_status::ready);
        claimed.push_back(waiter.get().value());
    }
    std::sort(claimed.begin(), claimed.end());
    EXPECT_EQ(claimed, (std::vector<uint64_t>{1, 2, 3}));
    EXPECT_EQ(dispenser.try_claim().state, WindowedDispenser::Claim::Wait);  // released 3, window 1
    dispenser.release_through(5);
    EXPECT_EQ(dispenser.try_claim().index, 4u);
    dispenser.release_through(2);  // never moves back
    EXPECT_EQ(dispenser.try_claim().index, 5u);
}

TEST(WindowedDispenserTest, CancellationWakesEveryWaiter) {
    WindowedDispenser dispenser(10, 1);
    std::stop_source stop;
    ASSERT_EQ(dispenser.claim(stop.get_token()), 0u);
    auto waiters = start_waiters(dispenser, 3, stop.get_token());
    stop.request_stop();
    for (auto& waiter : waiters) {
        ASSERT_EQ(waiter.wait_for(10s), std::future_status::ready);
        EXPECT_FALSE(waiter.get().has_value());
    }
    dispenser.release(1);
    EXPECT_FALSE(dispenser.claim(stop.get_token()).has_value());
    EXPECT_EQ(dispenser.try_claim(stop.get_token()).state, WindowedDispenser::Claim::Done);
}

}  // namespace
}  // namespace kro::base
