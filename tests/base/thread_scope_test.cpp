#include "base/thread_scope.hpp"

#include <gtest/gtest.h>

namespace kro::base {
namespace {

TEST(ThreadScopeTest, RefusedSpawnLeavesItsError) {
    ThreadScope scope([](size_t i) { return i == 1; });
    EXPECT_FALSE(scope.spawn_error());
    EXPECT_TRUE(scope.spawn([] {}));
    EXPECT_FALSE(scope.spawn([] {}));
    EXPECT_EQ(scope.spawn_error(), std::make_error_code(std::errc::resource_unavailable_try_again));
    scope.join_and_rethrow();
}

}  // namespace
}  // namespace kro::base
