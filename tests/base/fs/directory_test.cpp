// The exclusive lock on an entered directory: a second lock waits for the first to go, and a
// signal handler that interrupts the wait does not end it.

#include "base/fs/directory.hpp"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

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

TEST(DirectoryLockTest, SecondLockWaitsForTheFirstThroughSignals) {
    testing::ScratchDir dir;
    const Directory root = Directory::open_root(dir.path()).value();
    struct stat st {};
    ASSERT_EQ(::stat(dir.path().c_str(), &st), 0);
    auto first = root.lock_exclusive();
    ASSERT_TRUE(first.has_value());

    // A handler installed without SA_RESTART: each signal ends the waiting call with EINTR.
    struct sigaction quiet {};
    struct sigaction previous {};
    quiet.sa_handler = +[](int) {};
    sigemptyset(&quiet.sa_mask);
    ASSERT_EQ(::sigaction(SIGUSR1, &quiet, &previous), 0);

    std::atomic<bool> returned{false};
    std::expected<UniqueFd, IoError> second = std::unexpected(IoError::from_errno(EINVAL));
    std::thread waiter([&] {
        second = root.lock_exclusive();
        returned = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!someone_waits_on(st.st_ino) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(someone_waits_on(st.st_ino));
    for (int i = 0; i < 20; ++i) {
        ::pthread_kill(waiter.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_FALSE(returned.load()) << "the lock was taken while the first was held, or the wait failed";

    first->reset();  // closing the descriptor lets the lock go
    waiter.join();
    ::sigaction(SIGUSR1, &previous, nullptr);
    ASSERT_TRUE(second.has_value()) << second.error().message();
    EXPECT_TRUE(second->valid());
}

}  // namespace
}  // namespace kro::base
