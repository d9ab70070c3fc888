#pragma once
// Every multi-byte integer of the file format is big-endian.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kro::format {

constexpr std::array<uint8_t, 8> be64_bytes(uint64_t value) {
    std::array<uint8_t, 8> out{};
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(value >> (56 - 8 * i));
    return out;
}

constexpr uint64_t load_be64(std::span<const uint8_t, 8> bytes) {
    uint64_t value = 0;
    for (const uint8_t b : bytes) value = value << 8 | b;
    return value;
}

}  // namespace kro::format
