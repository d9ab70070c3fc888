#include "base/windowed_dispenser.hpp"

#include <limits>

namespace kro::base {

std::optional<size_t> JobDispenser::claim_next(size_t total, size_t window) {
    std::unique_lock lock(mutex_);
    while (true) {
        if (stop_ || next_ >= total) return std::nullopt;
        const size_t limit = released_ > std::numeric_limits<size_t>::max() - window
                                 ? std::numeric_limits<size_t>::max()
                                 : released_ + window;
        if (next_ < limit) {
            const size_t index = next_++;
            // Workers waiting for the window learn that nothing is left to hand out.
            if (next_ == total) changed_.notify_all();
            return index;
        }
        changed_.wait(lock);
    }
}

void JobDispenser::release_one() {
    release(1);
}

void JobDispenser::release(size_t count) {
    {
        const std::lock_guard lock(mutex_);
        released_ = released_ > std::numeric_limits<size_t>::max() - count
                        ? std::numeric_limits<size_t>::max()
                        : released_ + count;
    }
    // One more index can be handed out, so one waiter is enough: waking every worker for each
    // of many small files costs more than verifying them.
    if (count == 1) {
        changed_.notify_one();
    } else {
        changed_.notify_all();
    }
}

void JobDispenser::stop() {
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
}

}  // namespace kro::base
