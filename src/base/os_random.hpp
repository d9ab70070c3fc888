#pragma once
// Operating-system randomness: getrandom, falling back to /dev/urandom (after /dev/random has
// become readable) where getrandom is unavailable.

#include <cstdint>
#include <expected>
#include <span>

#include "base/errors/io_error.hpp"

namespace kro::base {

std::expected<void, IoError> fill_os_random(std::span<uint8_t> out);

}  // namespace kro::base
