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

#include "base/io_error.hpp"
#include "format/header.hpp"
#include "verify/analysis/corrupt_region.hpp"
#include "verify/analysis/memory_budget.hpp"
#include "verify/analysis/region_list.hpp"
#include "verify/parallel_seams.hpp"

namespace kro::verify {

// The target size of one unit of parallel analysis: 8 MiB.
inline constexpr uint64_t ANALYSIS_UNIT_TARGET = 8388608;
// The sequential analysis reads whole chunks adding up to at least this much at once (one chunk
// when it is larger), whatever the chunk size: 1 MiB.
inline constexpr uint64_t ANALYSIS_READ_TARGET = 1048576;

// The regions of `fd`, a file of `actual_len` bytes (from its metadata) with the parsed `header`,
// in ascending file order. `chunk_size` is at least 1; `workers` is the file's lane count: below
// 2 the analysis runs on the calling thread, otherwise on up to `workers` threads that share
// `budget`. A file that ends before `actual_len` while it is read is reported missing from where
// it ended. Running out of memory is an I/O error of kind OutOfMemory.
std::expected<RegionList, base::IoError> analyze_corruption(
    int fd, const format::Header& header, uint64_t actual_len, uint64_t chunk_size, uint64_t workers,
    MemoryBudget& budget, const ParallelSeams& seams = ParallelSeams::none());

// The analysis on the calling thread: reads the file forward from offset 60 in pieces of
// ANALYSIS_READ_TARGET with its own two buffers.
std::expected<RegionList, base::IoError> analyze_sequential(
    int fd, const format::Header& header, uint64_t actual_len, uint64_t chunk_size,
    const ParallelSeams& seams = ParallelSeams::none());

// The end of the chunk that starts at `offset`: the next multiple of `chunk_size` above it, or
// `limit` if that comes first.
uint64_t chunk_end(uint64_t offset, uint64_t chunk_size, uint64_t limit);

// Compares the bytes [first, first + actual.size()) of a file with their expected bytes, chunk by
// chunk on the grid of `chunk_size` (the last chunk ends where the bytes end), and records a
// region for every chunk that differs.
void compare_chunks(std::span<const uint8_t> actual, std::span<const uint8_t> expected, uint64_t first,
                    uint64_t chunk_size, RegionList& regions);

// Appends the Truncated or ExtraBytes region that the declared and actual lengths call for.
// `read_end` is where reading the compared span stopped: before the span's end, the file ended
// early while it was read, and everything from there on is missing.
void push_tail_region(RegionList& regions, uint64_t declared_len, uint64_t actual_len, uint64_t read_end);

}  // namespace kro::verify
