#pragma once
// The shared progress record of one `gen` or `verify` run. The driver makes one
// `ProgressTracker` with the run's totals and an optional observer and lends it to every
// thread of the run. Counters change only by saturating atomic additions, so any thread may
// add progress without a lock; each addition is followed by one call of the observer, and the
// tracker's notify lock makes those calls strictly sequential. Without an observer nothing is
// counted and nothing is locked. `FileProgress` caps one file's contribution at its size; its
// methods may be called from the several threads that read one file.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace kro::store {

struct ProgressSnapshot {
    std::optional<uint64_t> bytes_total;
    std::optional<uint64_t> files_total;
    uint64_t bytes_done = 0;
    uint64_t files_done = 0;

    friend bool operator==(const ProgressSnapshot&, const ProgressSnapshot&) = default;
};

// A shared callable that receives every snapshot; it may be invoked from any thread, never
// twice at once for one tracker. An empty pointer means no observer.
using ProgressObserver = std::shared_ptr<const std::function<void(const ProgressSnapshot&)>>;

template <typename F>
ProgressObserver make_progress_observer(F&& callback) {
    return std::make_shared<const std::function<void(const ProgressSnapshot&)>>(std::forward<F>(callback));
}

class ProgressTracker {
  public:
    ProgressTracker(std::optional<uint64_t> bytes_total, std::optional<uint64_t> files_total,
                    ProgressObserver observer);
    ProgressTracker(const ProgressTracker&) = delete;
    ProgressTracker& operator=(const ProgressTracker&) = delete;

    // Adds `n` bytes (saturating) and notifies; nothing at all without an observer.
    void add_bytes(uint64_t n);
    // Adds one finished file (saturating) and notifies; nothing at all without an observer.
    void add_file();
    // Hands the observer a snapshot of the current counters, under the notify lock. The
    // observer must not notify this tracker itself.
    void notify();

    bool has_observer() const { return observer_ != nullptr; }
    std::optional<uint64_t> bytes_total() const { return bytes_total_; }
    std::optional<uint64_t> files_total() const { return files_total_; }
    uint64_t bytes_done() const { return bytes_done_.load(std::memory_order_relaxed); }
    uint64_t files_done() const { return files_done_.load(std::memory_order_relaxed); }

  private:
    const std::optional<uint64_t> bytes_total_;
    const std::optional<uint64_t> files_total_;
    const ProgressObserver observer_;
    std::atomic<uint64_t> bytes_done_{0};
    std::atomic<uint64_t> files_done_{0};
    std::mutex notify_lock_;  // guards no data: it serialises the observer's calls
};

// The progress of one file being verified: its bytes count at most once and in full.
class FileProgress {
  public:
    FileProgress(ProgressTracker& tracker, uint64_t file_size) : tracker_(tracker), file_size_(file_size) {}
    FileProgress(const FileProgress&) = delete;
    FileProgress& operator=(const FileProgress&) = delete;

    // Reports `n` more bytes of this file, never beyond its size.
    void advance(uint64_t n);
    // Tops the file's bytes up to its size and counts the file. Called once per file.
    void finish();

    uint64_t reported() const { return reported_.load(std::memory_order_relaxed); }
    uint64_t file_size() const { return file_size_; }

  private:
    ProgressTracker& tracker_;
    const uint64_t file_size_;
    std::atomic<uint64_t> reported_{0};
};

}  // namespace kro::store
