#pragma once
// A positional-write seam for the parallel writer that fails chosen blocks with chosen errors.
// Optionally one block must fail before the others are allowed to: they wait for it, so that a
// test can make a high block's error be recorded first.

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "base/file_io.hpp"
#include "gen/parallel_write.hpp"

namespace kro::testing {

class WriteFaults {
  public:
    WriteFaults(std::map<uint64_t, int> errnos, std::optional<uint64_t> fails_first)
        : errnos_(std::move(errnos)), fails_first_(fails_first) {}

    gen::ParallelWriteSeams seams() {
        gen::ParallelWriteSeams seams;
        seams.write_block = [this](uint64_t index, int fd, std::span<const uint8_t> bytes,
                                   uint64_t offset) -> std::expected<void, base::IoError> {
            const auto fault = errnos_.find(index);
            if (fault == errnos_.end()) {
                auto written = base::write_all_at(fd, bytes, offset);
                const std::lock_guard lock(mutex_);
                written_bytes_ += bytes.size();
                return written;
            }
            std::unique_lock lock(mutex_);
            if (fails_first_ && index != *fails_first_) {
                waited_ |= !cv_.wait_for(lock, std::chrono::seconds(10), [&] { return first_failed_; });
            }
            failed_.push_back(index);
            if (fails_first_ && index == *fails_first_) first_failed_ = true;
            cv_.notify_all();
            return std::unexpected(base::IoError::from_errno(fault->second));
        };
        return seams;
    }

    // The failing blocks in the order they failed.
    std::vector<uint64_t> failed() const {
        const std::lock_guard lock(mutex_);
        return failed_;
    }
    uint64_t written_bytes() const {
        const std::lock_guard lock(mutex_);
        return written_bytes_;
    }
    // True when a block gave up waiting for the one that had to fail first.
    bool timed_out() const {
        const std::lock_guard lock(mutex_);
        return waited_;
    }

  private:
    const std::map<uint64_t, int> errnos_;
    const std::optional<uint64_t> fails_first_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool first_failed_ = false;
    bool waited_ = false;
    std::vector<uint64_t> failed_;
    uint64_t written_bytes_ = 0;
};

}  // namespace kro::testing
