#pragma once
// Numbers as people read them: decimal with "," between groups of three digits, and
// lower-case hex of byte strings. Pure functions.

#include <cstdint>
#include <span>
#include <string>

#include "base/wide_int.hpp"

namespace kro::cli {

using base::u128;

// 1234567 -> "1,234,567"; 0 -> "0".
std::string format_thousands(uint64_t n);

// Two lower-case digits per byte, high nibble first.
std::string to_hex(std::span<const uint8_t> bytes);

}  // namespace kro::cli
