#include "base/page_buffer.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <numeric>

namespace kro::base {
namespace {

bool page_aligned(const void* p) {
    return reinterpret_cast<std::uintptr_t>(p) % PAGE_ALIGNMENT == 0;
}

TEST(PageBufferTest, StartsOnAPageBoundaryWhateverItsLength) {
    for (const size_t length : {size_t{1}, size_t{60}, size_t{4096}, size_t{1048576}, size_t{1048577}}) {
        const PageBuffer buffer(length);
        EXPECT_TRUE(page_aligned(buffer.data())) << length;
        EXPECT_EQ(buffer.size(), length);
    }
}

TEST(PageBufferTest, GrowingKeepsTheBytesAndTheAlignment) {
    PageBuffer buffer(100);
    std::iota(buffer.begin(), buffer.end(), uint8_t{0});
    const uint8_t* before = buffer.data();
    buffer.resize(10);  // within the capacity nothing moves
    EXPECT_EQ(buffer.data(), before);
    buffer.resize(100);
    buffer.resize(1 << 20);
    EXPECT_TRUE(page_aligned(buffer.data()));
    for (size_t i = 0; i < 100; ++i) ASSERT_EQ(buffer[i], static_cast<uint8_t>(i));
}

TEST(PageBufferTest, MovingLeavesTheSourceEmpty) {
    PageBuffer a(4096);
    const uint8_t* data = a.data();
    PageBuffer b(std::move(a));
    EXPECT_EQ(b.data(), data);
    EXPECT_TRUE(a.empty());  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(a.data(), nullptr);
}

TEST(PageBufferTest, AnImpossibleLengthIsOutOfMemoryNotACrash) {
    auto buffer = PageBuffer::allocate(std::numeric_limits<size_t>::max() - 4095);
    ASSERT_FALSE(buffer);
    EXPECT_EQ(buffer.error().kind(), IoErrorKind::OutOfMemory);
    EXPECT_EQ(buffer.error().message(), "out of memory");
}

}  // namespace
}  // namespace kro::base
