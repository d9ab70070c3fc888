#pragma once
// Hands out the indices of the head files of a verification run in increasing order, at most
// `window` past the last result that the collector pushed in order, so that fast workers run
// ahead of a slow file without unbounded buffering. Thread-safe; its lock is held only inside
// its operations. Stopping, handing out the last index and releasing several results wake every
// waiter; a single released result wakes one, since it lets one more index out.

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>

namespace kro::base {

class JobDispenser {
  public:
    // The next index below `total`, waiting while it is `window` or more past the released
    // results; nothing once stopped or when every index is handed out.
    std::optional<size_t> claim_next(size_t total, size_t window);
    // Counts one more result pushed in order.
    void release_one();
    // Counts `count` more results pushed in order at once.
    void release(size_t count);
    // Stops the handing out for good.
    void stop();

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    size_t next_ = 0;
    size_t released_ = 0;
    bool stop_ = false;
};

}  // namespace kro::base
