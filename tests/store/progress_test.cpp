#include "store/progress.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <thread>
#include <vector>

#include "base/parallel/thread_scope.hpp"
#include "store/snapshot_recorder.hpp"

namespace kro::store {
namespace {

constexpr uint64_t MAX_U64 = std::numeric_limits<uint64_t>::max();

TEST(StoreProgressTest, WithoutObserverNothingIsCounted) {
    ProgressTracker tracker(100, 2, nullptr);
    tracker.add_bytes(10);
    tracker.add_file();
    tracker.notify();
    FileProgress file(tracker, 50);
    file.advance(5);
    file.finish();
    EXPECT_EQ(tracker.bytes_done(), 0u);
    EXPECT_EQ(tracker.files_done(), 0u);
    EXPECT_EQ(file.reported(), 0u);
}

TEST(StoreProgressTest, EveryAdditionNotifiesWithTheTotals) {
    testing::SnapshotRecorder recorder;
    ProgressTracker tracker(100, std::nullopt, recorder.observer());
    tracker.notify();
    tracker.add_bytes(40);
    tracker.add_file();
    const std::vector<ProgressSnapshot> expected{
        {100, std::nullopt, 0, 0}, {100, std::nullopt, 40, 0}, {100, std::nullopt, 40, 1}};
    EXPECT_EQ(recorder.seen, expected);
}

TEST(StoreProgressTest, CountersSaturate) {
    testing::SnapshotRecorder recorder;
    ProgressTracker tracker(std::nullopt, std::nullopt, recorder.observer());
    tracker.add_bytes(MAX_U64 - 1);
    tracker.add_bytes(5);
    EXPECT_EQ(tracker.bytes_done(), MAX_U64);
    tracker.add_bytes(1);
    EXPECT_EQ(tracker.bytes_done(), MAX_U64);
    EXPECT_EQ(recorder.seen.size(), 3u);
}

TEST(StoreProgressTest, FileProgressCountsAFileAtMostOnceAndInFull) {
    struct Case {
        const char* name;
        std::vector<uint64_t> advances;
        uint64_t bytes_after_advances;
        size_t notifications;  // in all, finish included
    };
    const Case cases[] = {
        {"nothing reported: finish adds the whole size", {}, 0, 2},
        {"partly reported: finish tops up", {30, 20}, 50, 4},
        {"over-reported: capped at the size, finish only counts the file", {60, 70}, 100, 3},
        {"a step past the largest u64 is capped too", {MAX_U64, MAX_U64}, 100, 2},
    };
    for (const auto& c : cases) {
        testing::SnapshotRecorder recorder;
        ProgressTracker tracker(std::nullopt, std::nullopt, recorder.observer());
        FileProgress file(tracker, 100);
        for (const uint64_t n : c.advances) file.advance(n);
        EXPECT_EQ(tracker.bytes_done(), c.bytes_after_advances) << c.name;
        file.finish();
        EXPECT_EQ(tracker.bytes_done(), 100u) << c.name;
        EXPECT_EQ(tracker.files_done(), 1u) << c.name;
        EXPECT_EQ(recorder.seen.size(), c.notifications) << c.name;
        EXPECT_EQ(recorder.seen.back(), (ProgressSnapshot{std::nullopt, std::nullopt, 100, 1})) << c.name;
    }
}

TEST(StoreProgressTest, ConcurrentUpdatesAreSerialisedAndAllCounted) {
    // The observer checks that it never runs twice at once and that counters only grow.
    std::atomic<int> inside{0};
    bool overlapped = false;
    uint64_t last_bytes = 0;
    bool went_back = false;
    size_t calls = 0;
    ProgressTracker tracker(std::nullopt, std::nullopt,
                            make_progress_observer([&](const ProgressSnapshot& s) {
                                if (inside.fetch_add(1) != 0) overlapped = true;
                                if (s.bytes_done < last_bytes) went_back = true;
                                last_bytes = s.bytes_done;
                                ++calls;
                                inside.fetch_sub(1);
                            }));
    FileProgress file(tracker, 4 * 1000 * 3);
    {
        base::ThreadScope scope;
        for (int t = 0; t < 4; ++t) {
            ASSERT_TRUE(scope.spawn([&] {
                for (int i = 0; i < 1000; ++i) {
                    tracker.add_bytes(2);
                    file.advance(3);
                }
                tracker.add_file();
            }));
        }
        scope.join_and_rethrow();
    }
    EXPECT_FALSE(overlapped);
    EXPECT_FALSE(went_back);
    EXPECT_EQ(tracker.bytes_done(), 4u * 1000 * 5);
    EXPECT_EQ(tracker.files_done(), 4u);
    EXPECT_EQ(calls, 4u * 2001);
}

}  // namespace
}  // namespace kro::store
