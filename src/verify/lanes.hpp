#pragma once
// Lane allocation: how the worker budget of a group of files running at the same time is divided
// into lanes (threads) per file. Every file gets one lane; the spare lanes go out in proportion to
// the file sizes, largest remainders first, but never more than one lane per whole 2 MiB of a
// file, so small files never pay for threads. Pure.

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

// The lane count of each file, in the order of `sizes`. Panics unless budget >= sizes.size().
// The counts add up to at most `budget`; lanes that no file can take are not handed out.
std::vector<uint64_t> allocate_lanes(std::span<const uint64_t> sizes, uint64_t budget);

}  // namespace kro::verify
