#pragma once
// Lanes: how many threads one file may use. A file never uses more than one lane per whole 2 MiB,
// so small files never pay for threads. The worker budget of a group of files running at the same
// time is divided into lanes per file: every file gets one lane; the spare lanes go out in
// proportion to the file sizes, largest remainders first, up to each file's cap. Pure.

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

namespace kro::verify {

// A file gets at most one lane per 2^LANE_SPAN_LOG2 bytes (2 MiB).
inline constexpr unsigned LANE_SPAN_LOG2 = 21;

// The most lanes a file of `size` bytes can use: one per whole 2 MiB, at least one.
constexpr uint64_t lane_cap(uint64_t size) {
    return std::max<uint64_t>(size >> LANE_SPAN_LOG2, 1);
}

// The lane cap of the actual length (one lane per whole 2 MiB, at least one), at most `lanes`.
uint64_t file_lane_count(uint64_t actual_len, uint64_t lanes);

// The lane count of each file, in the order of `sizes`, out of `jobs` workers. Panics unless
// jobs >= sizes.size(). The counts add up to at most `jobs`; lanes that no file can take are not
// handed out.
std::vector<uint64_t> allocate_lanes(std::span<const uint64_t> sizes, uint64_t jobs);

}  // namespace kro::verify
