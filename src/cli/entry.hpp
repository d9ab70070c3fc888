#pragma once
// The program's entry after process set-up: parse the arguments, handle --version, and hand
// exactly one record to its command handler, whose status becomes the exit status.

#include <cstdint>
#include <span>
#include <string>

namespace kro::cli {

inline constexpr std::string_view KRO_VERSION = "0.5.0";

// `args` are the process arguments without the program name. A broken invariant escapes as
// base::Panic.
uint8_t run_kro(std::span<const std::string> args);

}  // namespace kro::cli
