#include "base/windowed_dispenser.hpp"

#include "base/saturating.hpp"

namespace kro::base {

bool WindowedDispenser::inside_window() const {
    return next_ < saturating_add(released_, window_);
}

std::optional<uint64_t> WindowedDispenser::claim() {
    std::unique_lock lock(mutex_);
    while (!stop_ && next_ < total_) {
        if (inside_window()) {
            const uint64_t index = next_++;
            // Workers waiting for the window learn that nothing is left to hand out.
            if (next_ == total_) changed_.notify_all();
            return index;
        }
        changed_.wait(lock);
    }
    return std::nullopt;
}

WindowedDispenser::TryClaim WindowedDispenser::try_claim() {
    const std::lock_guard lock(mutex_);
    if (stop_ || next_ >= total_) return {Claim::Done};
    if (!inside_window()) return {Claim::Wait};
    const uint64_t index = next_++;
    if (next_ == total_) changed_.notify_all();
    return {Claim::Claimed, index};
}

void WindowedDispenser::release(uint64_t count) {
    {
        const std::lock_guard lock(mutex_);
        released_ = saturating_add(released_, count);
    }
    // One more index can be handed out, so one waiter is enough: waking every worker for each
    // of many small items costs more than the items.
    if (count == 1) {
        changed_.notify_one();
    } else {
        changed_.notify_all();
    }
}

void WindowedDispenser::release_through(uint64_t merged) {
    {
        const std::lock_guard lock(mutex_);
        if (released_ >= merged) return;
        released_ = merged;
    }
    changed_.notify_all();
}

void WindowedDispenser::stop() {
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
}

void WindowedDispenser::cancel() {
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
        cancel_ = true;
    }
    changed_.notify_all();
}

bool WindowedDispenser::cancelled() const {
    const std::lock_guard lock(mutex_);
    return cancel_;
}

}  // namespace kro::base
