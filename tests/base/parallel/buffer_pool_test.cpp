#include "base/parallel/buffer_pool.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <initializer_list>
#include <stop_token>
#include <thread>
#include <vector>

#include "base/parallel/thread_scope.hpp"

namespace kro::base {
namespace {

using base::PageBuffer;
using Bytes = std::vector<uint8_t>;

void set_bytes(PageBuffer& buffer, std::initializer_list<uint8_t> bytes) {
    buffer.resize(bytes.size());
    std::ranges::copy(bytes, buffer.begin());
}

PageBuffer buffer_of(std::initializer_list<uint8_t> bytes) {
    PageBuffer buffer;
    set_bytes(buffer, bytes);
    return buffer;
}

Bytes bytes_of(const PageBuffer& buffer) {
    return Bytes(buffer.begin(), buffer.end());
}

TEST(StoreBufferPoolTest, BuffersHaveTheirLengthAndAreReusedLastInFirstOut) {
    BufferPool pool(2, 8);
    auto a = pool.take().value();
    auto b = pool.take().value();
    EXPECT_EQ(a.buf().size(), 8u);
    set_bytes(a.buf(), {1, 2, 3});
    set_bytes(b.buf(), {9});
    const uint8_t* a_data = a.buf().data();
    { auto dropped_first = std::move(b); }
    { auto dropped_last = std::move(a); }
    EXPECT_EQ(pool.free_count(), 2u);
    auto again = pool.take().value();
    // The most recently returned buffer comes back, with its length and bytes as they were.
    EXPECT_EQ(again.buf().data(), a_data);
    EXPECT_EQ(bytes_of(again.buf()), (Bytes{1, 2, 3}));
}

TEST(StoreBufferPoolTest, CancelledPoolLendsNothingButKeepsReturnedBuffers) {
    BufferPool pool(2, 4);
    std::stop_source stop;
    auto lent = pool.take(stop.get_token()).value();
    stop.request_stop();
    EXPECT_FALSE(pool.take(stop.get_token()).has_value());  // although one buffer is free
    { auto returned = std::move(lent); }
    EXPECT_EQ(pool.free_count(), 2u);
    pool.put(PageBuffer(3));
    EXPECT_EQ(pool.free_count(), 3u);
    EXPECT_FALSE(pool.take(stop.get_token()).has_value());
}

TEST(StoreBufferPoolTest, GivenBuffersAreLentAndReleasedAsTheyAre) {
    std::vector<PageBuffer> given;
    given.push_back(buffer_of({1}));
    given.push_back(buffer_of({2, 2}));
    BufferPool pool(std::move(given));
    EXPECT_EQ(bytes_of(pool.take().value().buf()), (Bytes{2, 2}));
    const auto released = pool.release_buffers();
    EXPECT_EQ(released.size(), 2u);
    EXPECT_EQ(pool.free_count(), 0u);
}

TEST(StoreBufferPoolTest, MovedFromBufferReturnsNothingTwice) {
    BufferPool pool(1, 4);
    {
        auto first = pool.take().value();
        PooledBuffer second = std::move(first);
        EXPECT_EQ(pool.free_count(), 0u);
    }
    EXPECT_EQ(pool.free_count(), 1u);
}

TEST(StoreBufferPoolTest, WaitingTakersWakeOnPutAndOnCancel) {
    BufferPool pool(1, 4);
    auto held = pool.take().value();
    std::atomic<int> got{0};
    std::atomic<int> refused{0};
    std::stop_source stop;
    {
        base::ThreadScope scope;
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(scope.spawn([&] {
                if (auto buf = pool.take(stop.get_token())) {
                    ++got;
                    // Hold it until the stage is cancelled, so that the others keep waiting.
                    while (!stop.stop_requested()) std::this_thread::yield();
                } else {
                    ++refused;
                }
            }));
        }
        { auto returned = std::move(held); }  // wakes exactly one waiter
        while (got.load() == 0) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(got.load(), 1);
        stop.request_stop();  // wakes every other waiter
        scope.join_and_rethrow();
    }
    EXPECT_EQ(got.load(), 1);
    EXPECT_EQ(refused.load(), 2);
    EXPECT_EQ(pool.free_count(), 1u);
}

TEST(StoreBufferPoolTest, ManyThreadsNeverHoldMoreThanThePool) {
    BufferPool pool(3, 16);
    std::atomic<int> in_use{0};
    std::atomic<int> most{0};
    {
        base::ThreadScope scope;
        for (int t = 0; t < 6; ++t) {
            ASSERT_TRUE(scope.spawn([&] {
                for (int i = 0; i < 200; ++i) {
                    auto buf = pool.take().value();
                    const int now = ++in_use;
                    int seen = most.load();
                    while (now > seen && !most.compare_exchange_weak(seen, now)) {
                    }
                    buf.buf()[0] = static_cast<uint8_t>(i);
                    --in_use;
                }
            }));
        }
        scope.join_and_rethrow();
    }
    EXPECT_LE(most.load(), 3);
    EXPECT_EQ(pool.free_count(), 3u);
}

}  // namespace
}  // namespace kro::base
