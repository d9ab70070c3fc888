#include "base/parallel/windowed_dispenser.hpp"

#include "base/parallel/stoppable_wait.hpp"
#include "base/saturating.hpp"

namespace kro::base {

bool WindowedDispenser::inside_window() const {
    return next_ < saturating_add(released_, window_);
}

std::optional<uint64_t> WindowedDispenser::claim(const std::stop_token& stop) {
    std::unique_lock lock(mutex_);
    const auto can_end = [&] { return next_ >= total_ || inside_window(); };
    if (!wait_unless_stopped(changed_, lock, stop, can_end) || next_ >= total_) return std::nullopt;
    const uint64_t index = next_++;
    // Workers waiting for the window learn that nothing is left to hand out.
    if (next_ == total_) changed_.notify_all();
    return index;
}

WindowedDispenser::TryClaim WindowedDispenser::try_claim(const std::stop_token& stop) {
    const std::lock_guard lock(mutex_);
    if (stop.stop_requested() || next_ >= total_) return {Claim::Done};
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

}  // namespace kro::base
