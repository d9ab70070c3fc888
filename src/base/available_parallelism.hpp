#pragma once
// How many threads this process can usefully run at once: the processor count as limited by
// the cgroup CPU quota and the affinity mask, falling back to the online processor count.

#include <cstddef>
#include <optional>

namespace kro::base {

// At least 1 when known; nothing when the platform cannot tell.
std::optional<size_t> available_parallelism();

}  // namespace kro::base
