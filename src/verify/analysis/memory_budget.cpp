#include "verify/analysis/memory_budget.hpp"

#include "base/errors/panic.hpp"
#include "base/parallel/stoppable_wait.hpp"

namespace kro::verify {

bool MemoryBudget::reserve(uint64_t need, const std::stop_token& stop) {
    // A larger reservation would wait for ever.
    if (need > limit_) base::panic("an analysis reservation fits the memory budget");
    std::unique_lock lock(mutex_);
    if (!base::wait_unless_stopped(released_, lock, stop, [&] { return limit_ - used_ >= need; }))
        return false;
    used_ += need;
    return true;
}

void MemoryBudget::reserve(uint64_t need) {
    (void)reserve(need, std::stop_token{});
}

void MemoryBudget::release(uint64_t n) {
    {
        const std::lock_guard lock(mutex_);
        used_ -= n;
    }
    released_.notify_all();
}

uint64_t MemoryBudget::used() const {
    const std::lock_guard lock(mutex_);
    return used_;
}

Reservation::Reservation(MemoryBudget& budget, uint64_t bytes, const base::Hooks* hooks)
    : budget_(budget), bytes_(bytes), hooks_(hooks) {
    base::on_reservation(hooks_, static_cast<int64_t>(bytes_));
}

Reservation::~Reservation() {
    base::on_reservation(hooks_, -static_cast<int64_t>(bytes_));
    budget_.release(bytes_);
}

}  // namespace kro::verify
