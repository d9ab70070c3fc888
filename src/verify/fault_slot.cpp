#include "verify/fault_slot.hpp"

namespace kro::verify {

void FaultSlot::record(std::exception_ptr fault) {
    const std::lock_guard lock(mutex_);
    if (!fault_) fault_ = std::move(fault);
}

void FaultSlot::rethrow_if_any() {
    std::exception_ptr fault;
    {
        const std::lock_guard lock(mutex_);
        fault = fault_;
    }
    if (fault) std::rethrow_exception(fault);
}

bool FaultSlot::holds() const {
    const std::lock_guard lock(mutex_);
    return fault_ != nullptr;
}

}  // namespace kro::verify
