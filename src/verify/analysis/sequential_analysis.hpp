#pragma once
// The corruption analysis of one file on the calling thread: the compared span is read forward
// from offset 60 in pieces of whole chunks with two buffers made once, reserved from the run's
// MemoryBudget first, and compared chunk by chunk. Touches only its own buffers; the reads are
// positional.

#include <cstdint>
#include <expected>

#include "base/hooks.hpp"
#include "base/io_error.hpp"
#include "format/header.hpp"
#include "verify/analysis/memory_budget.hpp"
#include "verify/analysis/region_list.hpp"

namespace kro::verify {

// The sequential analysis reads whole chunks adding up to at least this much at once (one chunk
// when it is larger), whatever the chunk size: 1 MiB.
inline constexpr uint64_t ANALYSIS_READ_TARGET = 1048576;

// The regions of `fd`, a file of `actual_len` bytes (from its metadata) with the parsed `header`,
// in ascending file order. Waits until `budget` holds its two buffers; `chunk_size` is at most
// 64 MiB, so that they fit the run's budget.
std::expected<RegionList, base::IoError> analyze_sequential(int fd, const format::Header& header,
                                                            uint64_t actual_len, uint64_t chunk_size,
                                                            MemoryBudget& budget,
                                                            const base::Hooks* hooks = nullptr);

}  // namespace kro::verify
