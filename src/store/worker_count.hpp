#pragma once
// The default worker budget of `gen` and `verify`: half the available processors, kept
// between 2 and 8, and 1 on a single processor or when the count is unknown.

#include <cstddef>
#include <optional>

namespace kro::store {

// The largest worker budget of a `gen` or `verify` run.
inline constexpr size_t MAX_JOBS = 256;

// For a given available parallelism (nothing when unknown).
size_t worker_count_for(std::optional<size_t> available);

// For this process.
size_t default_worker_count();

}  // namespace kro::store
