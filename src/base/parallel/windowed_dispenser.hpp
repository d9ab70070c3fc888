#pragma once
// Hands out the indices 0 .. total - 1 of a parallel stage in increasing order, at most `window`
// past the results that the collecting thread has released (merged in order), so that fast
// workers run ahead of a slow item without unbounded buffering. Handing out ends for a claim whose
// stop token has fired (the stage was cancelled: items already handed out finish). Thread-safe;
// its lock is held only inside its operations. A stop, handing out the last index and releasing
// several results wake every waiter; a single released result wakes one, since it lets one more
// index out.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stop_token>

namespace kro::base {

class WindowedDispenser {
  public:
    WindowedDispenser(uint64_t total, uint64_t window) : total_(total), window_(window) {}
    WindowedDispenser(const WindowedDispenser&) = delete;
    WindowedDispenser& operator=(const WindowedDispenser&) = delete;

    // The next index, waiting while it is `window` or more past the released results; nothing
    // once `stop` has fired or when every index is handed out.
    std::optional<uint64_t> claim(const std::stop_token& stop = {});

    enum class Claim : uint8_t { Claimed, Wait, Done };
    struct TryClaim {
        Claim state;
        uint64_t index = 0;  // when Claimed
    };
    // The same without waiting: Wait where `claim` would wait.
    TryClaim try_claim(const std::stop_token& stop = {});

    // Counts `count` more results merged in order.
    void release(uint64_t count);
    // Counts every result below `merged` as merged (no change when that many are already).
    void release_through(uint64_t merged);

  private:
    bool inside_window() const;  // under the lock

    const uint64_t total_;
    const uint64_t window_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t next_ = 0;
    uint64_t released_ = 0;
};

}  // namespace kro::base
