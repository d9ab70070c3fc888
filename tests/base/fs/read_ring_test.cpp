// The ring of asynchronous reads: reads in flight come back with their tags and bytes, a failing
// read with its error, and a ring that goes with reads in flight waits for them first.

#include "base/fs/read_ring.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <set>
#include <vector>

#include "base/fd.hpp"
#include "base/page_buffer.hpp"
#include "support/scratch_dir.hpp"

namespace kro::base {
namespace {

constexpr size_t PIECE = 65536;

std::vector<uint8_t> pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 4096);
    return bytes;
}

class ReadRingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        auto made = ReadRing::make(2);
        if (!made) GTEST_SKIP() << "skipped: this kernel offers no ring of asynchronous reads";
        ring_.emplace(std::move(*made));
        testing::write_file(dir_ / "file", bytes_);
    }

    testing::ScratchDir dir_;
    const std::vector<uint8_t> bytes_ = pattern(2 * PIECE + 100);
    std::optional<ReadRing> ring_;
};

TEST_F(ReadRingTest, ReadsComeBackWithTheirTagsAndBytes) {
    const UniqueFd fd(::open((dir_ / "file").c_str(), O_RDONLY | O_CLOEXEC));
    PageBuffer first(PIECE);
    PageBuffer last(PIECE);
    ASSERT_TRUE(ring_->send(fd.get(), first, 0, 10));
    ASSERT_TRUE(ring_->send(fd.get(), last, 2 * PIECE, 12));
    EXPECT_EQ(ring_->in_flight(), 2u);
    PageBuffer spare(PIECE);
    EXPECT_FALSE(ring_->send(fd.get(), spare, PIECE, 11)) << "a third read does not fit a ring of two";
    std::set<uint64_t> tags;
    for (int i = 0; i < 2; ++i) {
        const auto done = ring_->collect();
        ASSERT_TRUE(done.read.has_value()) << done.read.error().message();
        // The last piece stops where the file ends.
        EXPECT_EQ(*done.read, done.tag == 10 ? PIECE : 100u) << done.tag;
        tags.insert(done.tag);
    }
    EXPECT_EQ(tags, (std::set<uint64_t>{10, 12}));
    EXPECT_EQ(ring_->in_flight(), 0u);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), bytes_.begin()));
    EXPECT_TRUE(std::equal(last.begin(), last.begin() + 100, bytes_.begin() + 2 * PIECE));
}

TEST_F(ReadRingTest, AFailingReadComesBackAsItsError) {
    const UniqueFd write_only(::open((dir_ / "file").c_str(), O_WRONLY | O_CLOEXEC));
    PageBuffer buffer(PIECE);
    ASSERT_TRUE(ring_->send(write_only.get(), buffer, 0, 3));
    const auto done = ring_->collect();
    EXPECT_EQ(done.tag, 3u);
    ASSERT_FALSE(done.read.has_value());
    EXPECT_EQ(done.read.error().code(), EBADF);
}

TEST_F(ReadRingTest, ARingThatGoesWaitsForItsReadsFirst) {
    const UniqueFd fd(::open((dir_ / "file").c_str(), O_RDONLY | O_CLOEXEC));
    PageBuffer buffer(PIECE);
    std::fill(buffer.begin(), buffer.end(), uint8_t{0});
    ASSERT_TRUE(ring_->send(fd.get(), buffer, PIECE, 1));
    ring_.reset();
    // The read has landed by the time the ring is gone, not after.
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), bytes_.begin() + PIECE));
}

}  // namespace
}  // namespace kro::base
