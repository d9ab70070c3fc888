#include "base/parallel/thread_scope.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "base/hooks.hpp"

namespace kro::base {
namespace {

// Refuses the second thread start of the v3 lanes only.
struct RefuseSecondStart : Hooks {
    bool refuse_spawn(StageName stage, size_t spawn_index) const override {
        return stage == StageName{"lane"} && spawn_index == 1;
    }
};

TEST(ThreadScopeTest, RefusedSpawnLeavesItsError) {
    const RefuseSecondStart hooks;
    ThreadScope other(&hooks, StageName{"reader"});
    EXPECT_TRUE(other.spawn([] {}));
    EXPECT_TRUE(other.spawn([] {}));
    ThreadScope scope(&hooks, StageName{"lane"});
    EXPECT_FALSE(scope.spawn_error());
    EXPECT_TRUE(scope.spawn([] {}));
    EXPECT_FALSE(scope.spawn([] {}));
    EXPECT_EQ(scope.spawn_error(), std::make_error_code(std::errc::resource_unavailable_try_again));
    scope.join_and_rethrow();
}

TEST(ThreadScopeTest, RefusedSpawnNeverRunsAndFirstExceptionIsKept) {
    std::atomic<int> ran{0};
    const RefuseSecondStart hooks;
    ThreadScope scope(&hooks, StageName{"lane"});
    EXPECT_TRUE(scope.spawn([&] { ++ran; }));
    EXPECT_FALSE(scope.spawn([&] { ++ran; }));
    EXPECT_TRUE(scope.spawn([] { throw std::runtime_error("boom"); }));
    EXPECT_THROW(scope.join_and_rethrow(), std::runtime_error);
    EXPECT_EQ(ran.load(), 1);
}

}  // namespace
}  // namespace kro::base
