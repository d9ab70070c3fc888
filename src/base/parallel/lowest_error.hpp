#pragma once
// The error of the lowest failing index of a parallel stage, so that the outcome never depends on
// the number of workers or on the order in which they fail. Thread-safe; `fails_at_or_below` is a
// lock-free look for workers that skip items past a failure.

#include <atomic>
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>
#include <utility>

namespace kro::base {

template <typename E>
class LowestError {
  public:
    // Keeps `error` unless an error of a lower or equal index is held; true when kept.
    bool record(uint64_t index, E error) {
        const std::lock_guard lock(mutex_);
        if (error_ && error_->first <= index) return false;
        error_.emplace(index, std::move(error));
        index_.store(index, std::memory_order_release);
        return true;
    }
    // True when an item at or below `index` has failed.
    bool fails_at_or_below(uint64_t index) const { return index_.load(std::memory_order_acquire) <= index; }
    // The index of the kept error, if any.
    std::optional<uint64_t> index() const {
        const uint64_t at = index_.load(std::memory_order_acquire);
        return at == NONE ? std::nullopt : std::optional<uint64_t>(at);
    }
    // The kept error, moved out. Call once every worker that records has ended.
    std::optional<E> take() {
        const std::lock_guard lock(mutex_);
        if (!error_) return std::nullopt;
        return std::move(error_->second);
    }

  private:
    static constexpr uint64_t NONE = std::numeric_limits<uint64_t>::max();
    mutable std::mutex mutex_;
    std::optional<std::pair<uint64_t, E>> error_;
    std::atomic<uint64_t> index_{NONE};
};

}  // namespace kro::base
