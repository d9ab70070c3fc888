#pragma once
// Hooks for the parallel writer: one that refuses a thread start, one that panics in the thread
// taking a block, one that fails block 0 late and records every block taken up, and one that
// fails chosen blocks with chosen errors and counts the bytes of the positional writes that went
// through. With the last, one block may have to fail before the others are allowed to: they wait
// for it, so that a test can make a high block's error be recorded first.

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "base/errors/panic.hpp"
#include "base/hooks.hpp"
#include "gen/parallel_write.hpp"

namespace kro::testing {

// Refuses the n-th thread start of the writer.
struct RefuseSpawn : base::Hooks {
    explicit RefuseSpawn(size_t refused) : refused(refused) {}
    bool refuse_spawn(base::StageName stage, size_t spawn_index) const override {
        return stage == gen::CONTENT_WRITER && spawn_index == refused;
    }
    size_t refused;
};

// Faults the writer thread that takes block `index`.
struct FaultAt : base::Hooks {
    explicit FaultAt(uint64_t index) : index(index) {}
    std::optional<base::IoError> before_item(base::StageName, uint64_t block) const override {
        if (block == index) base::panic("injected writer fault");
        return std::nullopt;
    }
    uint64_t index;
};

// Fails block 0 with EIO after a pause long enough for the generators to build and queue the
// blocks after it, and records every block that a writer takes up.
class FirstBlockFailsLate : public base::Hooks {
  public:
    std::optional<base::IoError> before_item(base::StageName stage, uint64_t index) const override {
        EXPECT_EQ(stage, gen::CONTENT_WRITER);
        {
            const std::lock_guard lock(mutex_);
            taken_.push_back(index);
        }
        if (index != 0) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return base::IoError::from_errno(EIO);
    }

    // The blocks taken up, in the order they were.
    std::vector<uint64_t> taken() const {
        const std::lock_guard lock(mutex_);
        return taken_;
    }

  private:
    mutable std::mutex mutex_;
    mutable std::vector<uint64_t> taken_;
};

class WriteFaults : public base::Hooks {
  public:
    WriteFaults(std::map<uint64_t, int> errnos, std::optional<uint64_t> fails_first)
        : errnos_(std::move(errnos)), fails_first_(fails_first) {}

    std::optional<base::IoError> before_item(base::StageName stage, uint64_t index) const override {
        EXPECT_EQ(stage, gen::CONTENT_WRITER);
        const auto fault = errnos_.find(index);
        if (fault == errnos_.end()) return std::nullopt;
        std::unique_lock lock(mutex_);
        if (fails_first_ && index != *fails_first_) {
            waited_ |= !cv_.wait_for(lock, std::chrono::seconds(10), [&] { return first_failed_; });
        }
        failed_.push_back(index);
        if (fails_first_ && index == *fails_first_) first_failed_ = true;
        cv_.notify_all();
        return base::IoError::from_errno(fault->second);
    }

    ssize_t pwrite(int fd, const void* buf, size_t count, uint64_t offset) const override {
        const ssize_t written = Hooks::pwrite(fd, buf, count, offset);
        if (written > 0) written_bytes_ += static_cast<uint64_t>(written);
        return written;
    }

    // The failing blocks in the order they failed.
    std::vector<uint64_t> failed() const {
        const std::lock_guard lock(mutex_);
        return failed_;
    }
    uint64_t written_bytes() const { return written_bytes_.load(); }
    // True when a block gave up waiting for the one that had to fail first.
    bool timed_out() const {
        const std::lock_guard lock(mutex_);
        return waited_;
    }

  private:
    const std::map<uint64_t, int> errnos_;
    const std::optional<uint64_t> fails_first_;
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    mutable bool first_failed_ = false;
    mutable bool waited_ = false;
    mutable std::vector<uint64_t> failed_;
    mutable std::atomic<uint64_t> written_bytes_{0};
};

}  // namespace kro::testing
