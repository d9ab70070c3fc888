#include "base/huge_page_area.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

namespace kro::base {
namespace {

TEST(HugePageAreaTest, WholeHugePagesOnAHugePageBoundary) {
    for (const size_t length : {size_t{1}, HUGE_PAGE_SIZE, HUGE_PAGE_SIZE + 1}) {
        auto area = HugePageArea::allocate(length);
        ASSERT_TRUE(area.has_value()) << length;
        const auto bytes = area->span();
        EXPECT_EQ(reinterpret_cast<uintptr_t>(bytes.data()) % HUGE_PAGE_SIZE, 0u) << length;
        EXPECT_EQ(bytes.size(), (length + HUGE_PAGE_SIZE - 1) / HUGE_PAGE_SIZE * HUGE_PAGE_SIZE) << length;
        // Every byte is there to be written and read back.
        bytes.front() = 1;
        bytes.back() = 2;
        EXPECT_EQ(bytes.front() + bytes.back(), 3);
    }
    auto none = HugePageArea::allocate(0);
    ASSERT_TRUE(none.has_value());
    EXPECT_TRUE(none->empty());
}

TEST(HugePageAreaTest, AMovedAreaKeepsItsPages) {
    auto area = HugePageArea::allocate(HUGE_PAGE_SIZE).value();
    area.span()[5] = 42;
    HugePageArea moved = std::move(area);
    EXPECT_TRUE(area.empty());
    EXPECT_EQ(moved.span()[5], 42);
    HugePageArea assigned;
    assigned = std::move(moved);
    EXPECT_EQ(assigned.span()[5], 42);
    EXPECT_TRUE(moved.empty());
}

}  // namespace
}  // namespace kro::base
