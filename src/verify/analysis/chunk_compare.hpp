#pragma once
// The comparison at the heart of the corruption analysis, shared by its sequential and parallel
// paths: the bytes after the header are compared with the content stream chunk by chunk on a
// grid of absolute file offsets (a chunk ends at the next multiple of the chunk size, or at the
// end of the compared span), every differing chunk is classified and neighbouring chunks of equal
// pattern are merged; one region for missing or surplus bytes closes the list. Pure.

#include <cstdint>
#include <span>

#include "verify/analysis/corrupt_region.hpp"
#include "verify/analysis/region_list.hpp"

namespace kro::verify {

// The largest analysis chunk: 64 MiB.
inline constexpr uint64_t MAX_CHUNK_SIZE = 67108864;

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
