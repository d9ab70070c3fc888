#include "base/parallel/channel.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <numeric>
#include <thread>
#include <vector>

#include "base/parallel/thread_scope.hpp"

namespace kro::base {
namespace {

TEST(ChannelTest, DeliversInOrderAndClosesWhenLastSenderGoes) {
    auto [tx, rx] = unbounded_channel<int>();
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(tx.send(i));
    { auto copy = tx; }  // a second handle going away does not close
    tx.close();
    std::vector<int> got;
    while (auto v = rx.recv()) got.push_back(*v);
    EXPECT_EQ(got, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_FALSE(rx.recv().has_value());
}

TEST(ChannelTest, SendFailsOnceEveryReceiverIsGone) {
    auto [tx, rx] = bounded_channel<int>(1);
    rx.close();
    EXPECT_FALSE(tx.send(1));
}

TEST(ChannelTest, BoundedChannelCarriesManyProducersToManyConsumers) {
    auto [tx, rx] = bounded_channel<int>(2);
    std::atomic<long> sum{0};
    {
        ThreadScope scope;
        for (int p = 0; p < 4; ++p) {
            ASSERT_TRUE(scope.spawn([tx = tx, p]() mutable {
                for (int i = 0; i < 1000; ++i) tx.send(p * 1000 + i);
            }));
        }
        tx.close();
        for (int c = 0; c < 3; ++c) {
            ASSERT_TRUE(scope.spawn([rx = rx, &sum]() mutable {
                while (auto v = rx.recv()) sum += *v;
            }));
        }
        rx.close();
    }
    EXPECT_EQ(sum.load(), 3999L * 4000 / 2);
}

}  // namespace
}  // namespace kro::base
