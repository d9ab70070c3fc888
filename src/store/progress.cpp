#include "store/progress.hpp"

#include <algorithm>

#include "base/saturating.hpp"

namespace kro::store {

ProgressTracker::ProgressTracker(std::optional<uint64_t> bytes_total, std::optional<uint64_t> files_total,
                                 ProgressObserver observer)
    : bytes_total_(bytes_total), files_total_(files_total), observer_(std::move(observer)) {}

void ProgressTracker::add_bytes(uint64_t n) {
    if (!observer_) return;
    base::saturating_fetch_add(bytes_done_, n);
    notify();
}

void ProgressTracker::add_file() {
    if (!observer_) return;
    base::saturating_fetch_add(files_done_, 1);
    notify();
}

void ProgressTracker::notify() {
    if (!observer_) return;
    const std::lock_guard lock(notify_lock_);
    const ProgressSnapshot snapshot{bytes_total_, files_total_, bytes_done(), files_done()};
    (*observer_)(snapshot);
}

void FileProgress::advance(uint64_t n) {
    if (!tracker_.has_observer()) return;
    uint64_t current = reported_.load(std::memory_order_relaxed);
    uint64_t next = std::min(base::saturating_add(current, n), file_size_);
    while (!reported_.compare_exchange_weak(current, next, std::memory_order_relaxed)) {
        next = std::min(base::saturating_add(current, n), file_size_);
    }
    if (next > current) tracker_.add_bytes(next - current);
}

void FileProgress::finish() {
    if (!tracker_.has_observer()) return;
    const uint64_t before = reported_.exchange(file_size_, std::memory_order_relaxed);
    if (before < file_size_) tracker_.add_bytes(file_size_ - before);
    tracker_.add_file();
}

}  // namespace kro::store
