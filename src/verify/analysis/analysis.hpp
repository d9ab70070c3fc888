#pragma once
// Corruption analysis: where a damaged content file differs from the content regenerated from
// its header, and how. Chooses the path by the file's lane count: on the calling thread below two
// lanes, on several threads otherwise. Both paths compare on the same chunk grid and merge in
// file order, so the result does not depend on how many threads analyse the file.

#include <cstdint>
#include <expected>

#include "base/hooks.hpp"
#include "base/io_error.hpp"
#include "format/header.hpp"
#include "verify/analysis/memory_budget.hpp"
#include "verify/analysis/region_list.hpp"

namespace kro::verify {

// The regions of `fd`, a file of `actual_len` bytes (from its metadata) with the parsed `header`,
// in ascending file order. `chunk_size` is at least 1; `workers` is the file's lane count: below
// 2 the analysis runs on the calling thread, otherwise on up to `workers` threads; either way
// its buffers are reserved from `budget`, waiting for room. A file that ends before `actual_len`
// while it is read is reported missing from where it ended. Running out of memory is an I/O error
// of kind OutOfMemory.
std::expected<RegionList, base::IoError> analyze_corruption(int fd, const format::Header& header,
                                                            uint64_t actual_len, uint64_t chunk_size,
                                                            uint64_t workers, MemoryBudget& budget,
                                                            const base::Hooks* hooks = nullptr);

}  // namespace kro::verify
