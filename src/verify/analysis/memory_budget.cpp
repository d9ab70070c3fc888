#include "verify/analysis/memory_budget.hpp"

namespace kro::verify {

bool MemoryBudget::reserve(uint64_t need, const UnitDispenser& dispenser) {
    std::unique_lock lock(mutex_);
    while (true) {
        if (dispenser.cancelled()) return false;
        if (limit_ - used_ >= need) {
            used_ += need;
            return true;
        }
        released_.wait(lock);
    }
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

void stop_analysis(MemoryBudget& budget, UnitDispenser& dispenser) {
    // Under the budget's lock, so that a unit between its look at the dispenser and its wait for
    // memory cannot miss the wake-up.
    const std::lock_guard budget_lock(budget.mutex_);
    dispenser.cancel();
    budget.released_.notify_all();
}

}  // namespace kro::verify
