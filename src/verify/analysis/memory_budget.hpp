#pragma once
// The run-wide limit on corruption-analysis buffers. One MemoryBudget is made per verification
// run and shared by every analysis of it, also of files analysed at the same time: a unit of
// parallel analysis reserves its two buffers before it allocates them and releases them when it
// ends, so at most `limit` bytes of analysis buffers exist at once. Thread-safe.
//
// The UnitDispenser hands the units of one parallel analysis to its threads; a unit waiting for
// memory gives up once the dispenser is cancelled. Lock order: the budget's lock before the
// dispenser's, never the other way round.

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace kro::verify {

// The limit of a run's MemoryBudget: 256 MiB.
inline constexpr uint64_t ANALYSIS_MEMORY_LIMIT = 268435456;

// The shared state of one parallel analysis: which unit is handed out next, how many have been
// merged in order, and whether handing out has stopped (after an error) or been cancelled
// (after a fault: units waiting for memory give up). All fields are guarded by `mutex`.
struct UnitDispenser {
    explicit UnitDispenser(uint64_t window) : window(window) {}

    std::mutex mutex;
    std::condition_variable changed;
    uint64_t next = 0;
    uint64_t released = 0;
    bool stop = false;
    bool cancel = false;
    const uint64_t window;

    bool cancelled() {
        const std::lock_guard lock(mutex);
        return cancel;
    }
};

class MemoryBudget {
  public:
    explicit MemoryBudget(uint64_t limit = ANALYSIS_MEMORY_LIMIT) : limit_(limit) {}
    MemoryBudget(const MemoryBudget&) = delete;
    MemoryBudget& operator=(const MemoryBudget&) = delete;

    // Waits until `need` bytes fit and reserves them (true), or gives up once `dispenser` is
    // cancelled (false, nothing reserved).
    bool reserve(uint64_t need, UnitDispenser& dispenser);
    // Gives `n` reserved bytes back and wakes every waiter.
    void release(uint64_t n);

    uint64_t used() const;
    uint64_t limit() const { return limit_; }

  private:
    friend void stop_analysis(MemoryBudget& budget, UnitDispenser& dispenser);

    mutable std::mutex mutex_;
    std::condition_variable released_;
    uint64_t used_ = 0;
    const uint64_t limit_;
};

// Stops and cancels one analysis: no unit is handed out any more, and its units waiting for
// memory give up. Wakes the waiters of both.
void stop_analysis(MemoryBudget& budget, UnitDispenser& dispenser);

}  // namespace kro::verify
