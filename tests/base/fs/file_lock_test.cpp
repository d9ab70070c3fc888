// The exclusive lock on an open descriptor: a second lock waits for the first to go, a signal
// handler that interrupts the wait does not end it, and asking whether locks work neither waits
// for nor disturbs a holder.

#include "base/fs/file_lock.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "base/fd.hpp"
#include "support/proc_locks.hpp"
#include "support/scratch_dir.hpp"

namespace kro::base {
namespace {

// True when /proc/locks lists a process waiting for a lock on the file with this inode number.
bool someone_waits_on(ino_t inode) {
    for (const auto& waiter : testing::lock_waiters()) {
        if (waiter.inode == inode) return true;
    }
    return false;
}

// A descriptor of its own for the directory: locks taken through two of them exclude each other.
UniqueFd open_dir(const testing::ScratchDir& dir) {
    return UniqueFd(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

TEST(FileLockTest, SecondLockWaitsForTheFirstThroughSignals) {
    testing::ScratchDir dir;
    struct stat st {};
    ASSERT_EQ(::stat(dir.path().c_str(), &st), 0);
    UniqueFd first_fd = open_dir(dir);
    const UniqueFd second_fd = open_dir(dir);
    std::optional<FileLock> first;
    auto taken = FileLock::exclusive(first_fd.get());
    ASSERT_TRUE(taken.has_value());
    EXPECT_TRUE(taken->held());
    first.emplace(std::move(*taken));

    // A handler installed without SA_RESTART: each signal ends the waiting call with EINTR.
    struct sigaction quiet {};
    struct sigaction previous {};
    quiet.sa_handler = +[](int) {};
    sigemptyset(&quiet.sa_mask);
    ASSERT_EQ(::sigaction(SIGUSR1, &quiet, &previous), 0);

    std::atomic<bool> returned{false};
    std::optional<std::expected<FileLock, IoError>> second;
    std::thread waiter([&] {
        second.emplace(FileLock::exclusive(second_fd.get()));
        returned = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!someone_waits_on(st.st_ino) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(someone_waits_on(st.st_ino));
    // Whether locks work is answered at once while the holder keeps its lock.
    EXPECT_EQ(takes_locks(open_dir(dir).get()), true);
    for (int i = 0; i < 20; ++i) {
        ::pthread_kill(waiter.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_FALSE(returned.load()) << "the lock was taken while the first was held, or the wait failed";

    first.reset();  // dropping the lock lets the waiter in, while its descriptor stays open
    waiter.join();
    ::sigaction(SIGUSR1, &previous, nullptr);
    ASSERT_TRUE(second->has_value()) << (*second).error().message();
    EXPECT_TRUE((*second)->held());
}

TEST(FileLockTest, AskingWhetherLocksWorkLeavesNoLock) {
    testing::ScratchDir dir;
    const UniqueFd asker = open_dir(dir);
    EXPECT_EQ(takes_locks(asker.get()), true);
    // The shared lock of the question is given back: an exclusive one on another descriptor is
    // free at once.
    const UniqueFd other = open_dir(dir);
    EXPECT_EQ(::flock(other.get(), LOCK_EX | LOCK_NB), 0);
}

}  // namespace
}  // namespace kro::base
