#pragma once
// Saturating u64 arithmetic: counters and byte totals stop at the largest value instead of
// wrapping around.

#include <atomic>
#include <cstdint>
#include <limits>

namespace kro::base {

constexpr uint64_t saturating_add(uint64_t a, uint64_t b) {
    const uint64_t sum = a + b;
    return sum < a ? std::numeric_limits<uint64_t>::max() : sum;
}

constexpr uint64_t saturating_mul(uint64_t a, uint64_t b) {
    uint64_t product = 0;
    if (__builtin_mul_overflow(a, b, &product)) return std::numeric_limits<uint64_t>::max();
    return product;
}

// Adds `n` to `counter` with a compare-and-swap loop, stopping at the largest value. Returns
// the new value.
inline uint64_t saturating_fetch_add(std::atomic<uint64_t>& counter, uint64_t n) {
    uint64_t current = counter.load(std::memory_order_relaxed);
    uint64_t next = saturating_add(current, n);
    while (!counter.compare_exchange_weak(current, next, std::memory_order_relaxed)) {
        next = saturating_add(current, n);
    }
    return next;
}

}  // namespace kro::base
