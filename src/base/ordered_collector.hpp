#pragma once
// How a parallel stage's results come back: in index order, whatever order the workers finish
// in, and with the error of the lowest index kept when several items fail, so that the outcome
// never depends on the number of workers.
//
// LowestError keeps that error. It is thread-safe, so that workers which record failures
// themselves can share one; `fails_at_or_below` is a lock-free look for workers that skip items
// past a failure.
//
// OrderedCollector is owned by the one thread that merges results. Each index arrives once, as a
// value or an error. Values are handed on strictly in index order as soon as every lower index
// has been handed on; those that arrive early wait in an ordered map, which the stage's window
// bounds. Once an error is kept, no value at or past its index is handed on any more.

#include <atomic>
#include <cstdint>
#include <expected>
#include <limits>
#include <map>
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
    bool failed() const { return index_.load(std::memory_order_acquire) != NONE; }
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

template <typename T, typename E>
class OrderedCollector {
  public:
    // Files the value of item `index`, then calls `take(index, value)` for every value that is
    // now next in order.
    template <typename Take>
    void put(uint64_t index, T value, Take&& take) {
        if (error_.fails_at_or_below(index)) return;
        waiting_.emplace(index, std::move(value));
        for (auto it = waiting_.begin(); it != waiting_.end() && it->first == next_;
             it = waiting_.erase(it)) {
            take(it->first, std::move(it->second));
            ++next_;
        }
    }
    // Files the error of item `index`: kept when it is the lowest so far. Values waiting at or
    // past it will never be handed on and are dropped.
    void fail(uint64_t index, E error) {
        if (!error_.record(index, std::move(error))) return;
        waiting_.erase(waiting_.lower_bound(index), waiting_.end());
    }
    template <typename Take>
    void put(uint64_t index, std::expected<T, E> outcome, Take&& take) {
        if (outcome) {
            put(index, std::move(*outcome), std::forward<Take>(take));
        } else {
            fail(index, std::move(outcome.error()));
        }
    }

    // How many values have been handed on: the next index expected.
    uint64_t next() const { return next_; }
    bool failed() const { return error_.failed(); }
    std::optional<uint64_t> error_index() const { return error_.index(); }
    std::optional<E> take_error() { return error_.take(); }
    size_t waiting() const { return waiting_.size(); }

  private:
    std::map<uint64_t, T> waiting_;
    uint64_t next_ = 0;
    LowestError<E> error_;
};

}  // namespace kro::base
