#pragma once
// Where the threads of one parallel stage leave a fault (a Panic, or anything else that escaped
// a thread's work) for the thread that started them: the first one is kept, later ones are
// discarded, and the owner raises it again once every thread of the stage has ended.
// Thread-safe.

#include <exception>
#include <mutex>

namespace kro::verify {

class FaultSlot {
  public:
    // Stores `fault` unless one is held already.
    void record(std::exception_ptr fault);
    // Raises the held fault again, if any.
    void rethrow_if_any();
    bool holds() const;

  private:
    mutable std::mutex mutex_;
    std::exception_ptr fault_;
};

// Stores the first captured fault in `slot` and discards the others.
inline void record_first_panic(FaultSlot& slot, std::exception_ptr fault) {
    slot.record(std::move(fault));
}

}  // namespace kro::verify
