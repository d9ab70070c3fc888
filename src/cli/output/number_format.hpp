#pragma once
// Numbers as people read them: decimal with "," between groups of three digits, and
// lower-case hex of byte strings. Pure functions.

#include <cstdint>
#include <span>
#include <string>

namespace kro::cli {

// What a shown figure is worked out in when it is the product of two 64-bit values (a rate, a
// share of a file) scaled back down: the product is exact.
__extension__ using u128 = unsigned __int128;

// 1234567 -> "1,234,567"; 0 -> "0".
std::string format_thousands(uint64_t n);

// Two lower-case digits per byte, high nibble first.
std::string to_hex(std::span<const uint8_t> bytes);

}  // namespace kro::cli
