#include "base/parallel/parallel_stage.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/parallel/buffer_pool.hpp"
#include "base/parallel/channel.hpp"

namespace kro::base {
namespace {

// Refuses the thread starts of the v3 lanes from `from` on.
struct RefuseFrom : Hooks {
    explicit RefuseFrom(size_t from) : from(from) {}
    bool refuse_spawn(StageName, size_t index) const override { return index >= from; }
    size_t from;
};

TEST(ParallelStageTest, RunsOnTheCallingThreadWhatNoThreadStarted) {
    for (const size_t from : {size_t{0}, size_t{2}, size_t{5}}) {
        const RefuseFrom hooks(from);
        ParallelStage<std::string> stage(&hooks, StageName{"lane"});
        std::atomic<size_t> ran{0};
        size_t seen = SIZE_MAX;
        stage.run(
            5, [&](size_t) { ++ran; }, [&](size_t started) { seen = started; });
        EXPECT_EQ(seen, from) << from;
        EXPECT_EQ(ran.load(), from) << from;
        EXPECT_EQ(stage.spawn_error().operator bool(), from < 5) << from;
    }
}

TEST(ParallelStageTest, TheLowestErrorIsKeptAndTheFirstCancels) {
    ParallelStage<std::string> stage(nullptr, StageName{"reader"});
    BufferPool pool(0, 16);  // every take waits, until the stage is cancelled
    stage.run(
        8,
        [&](size_t k) {
            if (k % 3 == 1) {
                stage.fail(k, "e" + std::to_string(k));
            } else {
                EXPECT_FALSE(pool.take(stage.stop_token()).has_value());
            }
        },
        [&](size_t started) { EXPECT_EQ(started, 8u); });
    EXPECT_TRUE(stage.cancelled());
    EXPECT_EQ(stage.error_index(), 1u);
    EXPECT_TRUE(stage.fails_at_or_below(1));
    EXPECT_FALSE(stage.fails_at_or_below(0));
    EXPECT_EQ(stage.take_error(), "e1");
}

// A fault leaves `run` only once every worker has ended; a worker's wakes the others' waits, and
// the calling thread's own fault is the one raised.
TEST(ParallelStageTest, FaultsAreRaisedAfterEveryWorkerEnded) {
    for (const bool caller_faults : {false, true}) {
        ParallelStage<std::string> stage(nullptr, StageName{"unit"});
        BufferPool pool(0, 16);
        std::atomic<int> ended{0};
        const auto run = [&] {
            stage.run(
                4,
                [&](size_t k) {
                    if (k == 2 && !caller_faults) throw std::runtime_error("worker");
                    EXPECT_FALSE(pool.take(stage.stop_token()).has_value());
                    ++ended;
                },
                [&](size_t) {
                    if (caller_faults) throw std::logic_error("caller");
                });
        };
        if (caller_faults) {
            EXPECT_THROW(run(), std::logic_error);
            EXPECT_EQ(ended.load(), 4);
        } else {
            EXPECT_THROW(run(), std::runtime_error);
            EXPECT_EQ(ended.load(), 3);
        }
        EXPECT_TRUE(stage.cancelled());
    }
}

// The stage's own copies of the channel ends are gone before the calling thread drains or unwinds:
// the drain ends when the last worker ends, and a worker blocked on a full channel is let go when
// the calling thread faults.
TEST(ParallelStageTest, ChannelEndsCloseWithTheirHolders) {
    {
        ParallelStage<std::string> stage(nullptr, StageName{"worker"});
        auto [tx, rx] = bounded_channel<int>(2);
        std::vector<int> got;
        stage.run(
            3,
            [tx = std::move(tx)](size_t k) mutable {
                for (int i = 0; i < 10; ++i) tx.send(static_cast<int>(k) * 10 + i);
            },
            [&got, rx = std::move(rx)](size_t) mutable {
                while (auto value = rx.recv()) got.push_back(*value);
            });
        EXPECT_EQ(got.size(), 30u);
    }
    {
        ParallelStage<std::string> stage(nullptr, StageName{"worker"});
        auto [tx, rx] = bounded_channel<int>(1);
        std::atomic<int> refused{0};
        EXPECT_THROW(stage.run(
                         2,
                         [&refused, tx = std::move(tx)](size_t) mutable {
                             while (tx.send(1)) {
                             }
                             ++refused;
                         },
                         [rx = std::move(rx)](size_t) mutable {
                             (void)rx.recv();
                             throw std::runtime_error("caller");
                         }),
                     std::runtime_error);
        EXPECT_EQ(refused.load(), 2);
    }
}

}  // namespace
}  // namespace kro::base
