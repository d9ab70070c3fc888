#pragma once
// The run-wide limit on corruption-analysis buffers. One MemoryBudget is made per verification
// run and shared by every analysis of it, also of files analysed at the same time: a unit of
// parallel analysis, and a sequential analysis, reserves its two buffers before it allocates them
// and releases them when it ends, so at most `limit` bytes of analysis buffers exist at once.
// Thread-safe.
//
// No holder waits for anything while it holds a reservation, and no reservation is larger than
// the limit, so every wait for memory ends. A wait given a stop token gives up once it fires.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stop_token>

#include "base/hooks.hpp"

namespace kro::verify {

// The limit of a run's MemoryBudget: 256 MiB.
inline constexpr uint64_t ANALYSIS_MEMORY_LIMIT = 268435456;

class MemoryBudget {
  public:
    explicit MemoryBudget(uint64_t limit = ANALYSIS_MEMORY_LIMIT) : limit_(limit) {}
    MemoryBudget(const MemoryBudget&) = delete;
    MemoryBudget& operator=(const MemoryBudget&) = delete;

    // Waits until `need` bytes fit and reserves them (true), or gives up once `stop` has fired
    // (false, nothing reserved). `need` is at most the limit.
    bool reserve(uint64_t need, const std::stop_token& stop);
    // Waits until `need` bytes fit and reserves them, for an analysis that nothing cancels.
    // `need` is at most the limit.
    void reserve(uint64_t need);
    // Gives `n` reserved bytes back and wakes every waiter.
    void release(uint64_t n);

    uint64_t used() const;
    uint64_t limit() const { return limit_; }

  private:
    mutable std::mutex mutex_;
    std::condition_variable released_;
    uint64_t used_ = 0;
    const uint64_t limit_;
};

// Reserved bytes of a budget, given back on every way out of the scope that holds them, a fault
// included. The hooks see the grant and the release.
class Reservation {
  public:
    // For `bytes` already reserved from `budget`.
    Reservation(MemoryBudget& budget, uint64_t bytes, const base::Hooks* hooks);
    Reservation(const Reservation&) = delete;
    Reservation& operator=(const Reservation&) = delete;
    ~Reservation();

  private:
    MemoryBudget& budget_;
    uint64_t bytes_;
    const base::Hooks* hooks_;
};

}  // namespace kro::verify
