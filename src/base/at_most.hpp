#pragma once
// An unsigned value that never exceeds LIMIT: whatever it is made from or assigned is clamped
// from above. It converts to and from uint64_t implicitly, so that an options field of this type
// is set and read like a plain number while its limit holds however it is set, by a designated
// initializer or by an assignment later on.

#include <algorithm>
#include <cstdint>

namespace kro::base {

template <uint64_t LIMIT>
class AtMost {
  public:
    constexpr AtMost(uint64_t value) : value_(std::min(value, LIMIT)) {}
    constexpr operator uint64_t() const { return value_; }

  private:
    uint64_t value_;
};

}  // namespace kro::base
