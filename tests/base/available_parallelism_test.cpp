#include "base/available_parallelism.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

namespace kro::base {
namespace {

TEST(AvailableParallelismTest, IsKnownAndNeverAboveTheOnlineProcessors) {
    const auto n = available_parallelism();
    ASSERT_TRUE(n.has_value());
    EXPECT_GE(*n, 1u);
    EXPECT_LE(*n, static_cast<size_t>(::sysconf(_SC_NPROCESSORS_ONLN)));
}

}  // namespace
}  // namespace kro::base
