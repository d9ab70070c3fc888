#pragma once
// Corruption analysis: where a damaged content file differs from the content regenerated from
// its header, and how. The bytes after the header are compared with the content stream chunk by
// chunk on a grid of absolute file offsets (a chunk ends at the next multiple of the chunk size,
// or at the end of the compared span), every differing chunk is classified, neighbouring chunks
// of equal pattern are merged, and one region for missing or surplus bytes closes the list. The
// result does not depend on how many threads analyse the file.

#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "base/io_error.hpp"
#include "format/header.hpp"
#include "store/corrupt_region.hpp"
#include "store/memory_budget.hpp"
#include "store/parallel_seams.hpp"

namespace kro::store {

// The target size of one unit of parallel analysis: 8 MiB.
inline constexpr uint64_t ANALYSIS_UNIT_TARGET = 8388608;

// The regions of `fd`, a file of `actual_len` bytes (from its metadata) with the parsed `header`,
// in ascending file order. `chunk_size` is at least 1; `workers` is the file's lane count: below
// 2 the analysis runs on the calling thread, otherwise on up to `workers` threads that share
// `budget`.
std::expected<std::vector<CorruptRegion>, base::IoError> analyze_corruption(
    int fd, const format::Header& header, uint64_t actual_len, uint64_t chunk_size, uint64_t workers,
    MemoryBudget& budget, const ParallelSeams& seams = ParallelSeams::none());

// The analysis on the calling thread: reads the file forward from offset 60 with its own two
// chunk buffers.
std::expected<std::vector<CorruptRegion>, base::IoError> analyze_sequential(int fd,
                                                                            const format::Header& header,
                                                                            uint64_t actual_len,
                                                                            uint64_t chunk_size);

// The end of the chunk that starts at `offset`: the next multiple of `chunk_size` above it, or
// `limit` if that comes first.
uint64_t chunk_end(uint64_t offset, uint64_t chunk_size, uint64_t limit);

// Compares the chunk [offset, offset + actual.size()) with its expected bytes and records a
// region when they differ.
void compare_chunk(std::span<const uint8_t> actual, std::span<const uint8_t> expected, uint64_t offset,
                   std::vector<CorruptRegion>& regions);

// Appends the Truncated or ExtraBytes region that the declared and actual lengths call for.
void push_tail_region(std::vector<CorruptRegion>& regions, uint64_t declared_len, uint64_t actual_len);

}  // namespace kro::store
