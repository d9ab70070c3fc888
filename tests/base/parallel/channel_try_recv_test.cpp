#include <gtest/gtest.h>

#include "base/parallel/channel.hpp"

namespace kro::base {
namespace {

TEST(ChannelTryRecvTest, TakesWhatIsQueuedWithoutWaiting) {
    auto [tx, rx] = bounded_channel<int>(2);
    EXPECT_FALSE(rx.try_recv().has_value());  // empty and open: no wait
    ASSERT_TRUE(tx.send(7));
    ASSERT_TRUE(tx.send(8));
    EXPECT_EQ(rx.try_recv(), 7);
    // Taking made room: a bounded send goes through without a receiver waiting.
    ASSERT_TRUE(tx.send(9));
    EXPECT_EQ(rx.try_recv(), 8);
    tx.close();
    EXPECT_EQ(rx.try_recv(), 9);  // queued items outlive the last sender
    EXPECT_FALSE(rx.try_recv().has_value());
    EXPECT_FALSE(rx.recv().has_value());
}

}  // namespace
}  // namespace kro::base
