#include "verify/analysis/memory_budget.hpp"

#include "base/panic.hpp"

namespace kro::verify {

template <typename GivesUp>
bool MemoryBudget::reserve_unless(uint64_t need, GivesUp gives_up) {
    // A larger reservation would wait for ever.
    if (need > limit_) base::panic("an analysis reservation fits the memory budget");
    std::unique_lock lock(mutex_);
    while (true) {
        if (gives_up()) return false;
        if (limit_ - used_ >= need) {
            used_ += need;
            return true;
        }
        released_.wait(lock);
    }
}

bool MemoryBudget::reserve(uint64_t need, const UnitDispenser& dispenser) {
    return reserve_unless(need, [&] { return dispenser.cancelled(); });
}

void MemoryBudget::reserve(uint64_t need) {
    reserve_unless(need, [] { return false; });
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

void stop_analysis(MemoryBudget& budget, UnitDispenser& dispenser) {
    // Under the budget's lock, so that a unit between its look at the dispenser and its wait for
    // memory cannot miss the wake-up.
    const std::lock_guard budget_lock(budget.mutex_);
    dispenser.cancel();
    budget.released_.notify_all();
}

}  // namespace kro::verify
