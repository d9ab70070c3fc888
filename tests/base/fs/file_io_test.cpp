#include "base/fs/file_io.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <limits>
#include <numeric>
#include <thread>

#include "base/fd.hpp"
#include "support/scratch_dir.hpp"

namespace kro::base {
namespace {

using base::IoErrorKind;
using base::UniqueFd;

class StoreIoTest : public ::testing::Test {
  protected:
    // A file holding the bytes 0, 1, 2, ... (mod 256).
    UniqueFd make_file(size_t length) {
        std::string bytes(length, '\0');
        for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(i);
        testing::write_file(dir_ / "data", bytes);
        return UniqueFd(::open((dir_ / "data").c_str(), O_RDWR | O_CLOEXEC));
    }
    testing::ScratchDir dir_;
};

TEST_F(StoreIoTest, EmptyBuffersMakeNoSystemCall) {
    // An invalid descriptor would fail any call that reached the kernel.
    std::span<uint8_t> empty;
    EXPECT_EQ(read_full(-1, empty).value(), 0u);
    EXPECT_EQ(read_at_full(-1, empty, 5, nullptr).value(), 0u);
    EXPECT_TRUE(write_all_at(-1, empty, 5, nullptr).has_value());
    EXPECT_TRUE(write_all(-1, empty).has_value());
}

TEST_F(StoreIoTest, ReadFullStopsAtEndOfFile) {
    const auto fd = make_file(10);
    std::vector<uint8_t> buf(16, 0xee);
    EXPECT_EQ(read_full(fd.get(), buf).value(), 10u);
    EXPECT_EQ(buf[9], 9);
    EXPECT_EQ(buf[10], 0xee);
    EXPECT_EQ(read_full(fd.get(), buf).value(), 0u);
}

TEST_F(StoreIoTest, ReadAtFullReadsWhatExistsAndLeavesThePosition) {
    const auto fd = make_file(100);
    struct Case {
        uint64_t offset;
        size_t want;
        size_t got;
    };
    for (const Case c : {Case{0, 100, 100}, Case{90, 20, 10}, Case{100, 5, 0}, Case{1000, 5, 0}}) {
        std::vector<uint8_t> buf(c.want);
        ASSERT_EQ(read_at_full(fd.get(), buf, c.offset, nullptr).value(), c.got) << "offset " << c.offset;
        for (size_t i = 0; i < c.got; ++i) ASSERT_EQ(buf[i], static_cast<uint8_t>(c.offset + i));
    }
    EXPECT_EQ(::lseek(fd.get(), 0, SEEK_CUR), 0);
}

// A scripted kernel: each positional call takes the next answer (a byte count, or -1 for an
// interrupted call) and records the offset it was asked for.
struct Script : Hooks {
    explicit Script(std::vector<ssize_t> answers) : answers(std::move(answers)) {}
    std::vector<ssize_t> answers;
    mutable std::vector<uint64_t> offsets;
    mutable size_t next = 0;
    ssize_t answer(uint64_t offset) const {
        offsets.push_back(offset);
        const ssize_t n = answers.at(next++);
        if (n < 0) errno = EINTR;
        return n;
    }
    ssize_t pread(int, void*, size_t, uint64_t offset) const override { return answer(offset); }
    ssize_t pwrite(int, const void*, size_t, uint64_t offset) const override { return answer(offset); }
};

TEST_F(StoreIoTest, PositionalLoopsRetryInterruptionsAndContinueShortTransfers) {
    const Script s({3, -1, 2, 5});
    std::vector<uint8_t> buf(10);
    EXPECT_EQ(read_at_full(0, buf, 100, &s).value(), 10u);
    EXPECT_EQ(s.offsets, (std::vector<uint64_t>{100, 103, 103, 105}));

    const Script w({-1, 4, 6});
    EXPECT_TRUE(write_all_at(0, buf, 7, &w).has_value());
    EXPECT_EQ(w.offsets, (std::vector<uint64_t>{7, 7, 11}));
}

TEST_F(StoreIoTest, ReadAtFullRefusesAPositionPastTheLargestOffset) {
    const uint64_t top = std::numeric_limits<uint64_t>::max() - 1;
    const Script s({2});
    std::vector<uint8_t> buf(4);
    const auto result = read_at_full(0, buf, top, &s);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind(), IoErrorKind::InvalidInput);
    EXPECT_EQ(result.error().message(), "positional read offset overflow");
    EXPECT_EQ(s.offsets.size(), 1u);
}

TEST_F(StoreIoTest, WriteThatMakesNoProgressFails) {
    const Script s({2, 0});
    const std::vector<uint8_t> buf(4);
    const auto result = write_all_at(0, buf, 0, &s);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind(), IoErrorKind::WriteZero);
    EXPECT_EQ(result.error().message(), "a positional write made no progress");
}

TEST_F(StoreIoTest, WriteAllAtWritesAtTheOffsetWithoutMovingThePosition) {
    const auto fd = make_file(8);
    const std::vector<uint8_t> bytes{0xaa, 0xbb, 0xcc};
    ASSERT_TRUE(write_all_at(fd.get(), bytes, 10, nullptr).has_value());
    EXPECT_EQ(::lseek(fd.get(), 0, SEEK_CUR), 0);
    const auto content = testing::read_file(dir_ / "data");
    ASSERT_EQ(content.size(), 13u);
    EXPECT_EQ(content[8], 0);  // the gap reads as zeros
    EXPECT_EQ(content[10], 0xaa);
    EXPECT_EQ(content[12], 0xcc);
}

TEST_F(StoreIoTest, FailuresCarryTheSystemError) {
    const UniqueFd read_only(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    const std::vector<uint8_t> bytes{1};
    const auto written = write_all_at(read_only.get(), bytes, 0, nullptr);
    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(written.error().code(), EBADF);
}

void ignore_signal(int) {}

TEST_F(StoreIoTest, InterruptedReadIsRepeated) {
    struct sigaction action {};
    action.sa_handler = ignore_signal;  // no SA_RESTART: the blocked read fails with EINTR
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    UniqueFd reader(fds[0]);
    UniqueFd writer(fds[1]);

    std::atomic<bool> started{false};
    std::expected<size_t, base::IoError> result = 0;
    std::vector<uint8_t> buf(4);
    std::thread thread([&] {
        started = true;
        result = read_full(reader.get(), buf);
    });
    while (!started) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ::pthread_kill(thread.native_handle(), SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(::write(writer.get(), "abcd", 4), 4);
    thread.join();
    ::sigaction(SIGUSR1, &previous, nullptr);
    ASSERT_TRUE(result.has_value()) << result.error().message();
    EXPECT_EQ(*result, 4u);
    EXPECT_EQ(buf[3], 'd');
}

}  // namespace
}  // namespace kro::base
