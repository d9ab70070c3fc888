#include "store/job_dispenser.hpp"

#include <limits>

namespace kro::store {

std::optional<size_t> JobDispenser::claim_next(size_t total, size_t window) {
    std::unique_lock lock(mutex_);
    while (true) {
        if (stop_ || next_ >= total) return std::nullopt;
        const size_t limit = released_ > std::numeric_limits<size_t>::max() - window
                                 ? std::numeric_limits<size_t>::max()
                                 : released_ + window;
        if (next_ < limit) return next_++;
        changed_.wait(lock);
    }
}

void JobDispenser::release_one() {
    {
        const std::lock_guard lock(mutex_);
        ++released_;
    }
    changed_.notify_all();
}

void JobDispenser::stop() {
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
}

}  // namespace kro::store
