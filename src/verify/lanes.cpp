#include "verify/lanes.hpp"

#include <algorithm>
#include <numeric>

#include "base/errors/panic.hpp"
#include "base/wide_int.hpp"

namespace kro::verify {

namespace {

using base::u128;

std::vector<size_t> files_below_cap(const std::vector<uint64_t>& lanes, const std::vector<uint64_t>& caps) {
    std::vector<size_t> below;
    for (size_t i = 0; i < lanes.size(); ++i) {
        if (lanes[i] < caps[i]) below.push_back(i);
    }
    return below;
}

}  // namespace

uint64_t file_lane_count(uint64_t actual_len, uint64_t lanes) {
    return std::min(lane_cap(actual_len), lanes);
}

std::vector<uint64_t> allocate_lanes(std::span<const uint64_t> sizes, uint64_t jobs) {
    if (sizes.empty()) return {};
    if (jobs < sizes.size()) base::panic("lane allocation requires at least one lane per file");
    std::vector<uint64_t> caps(sizes.size());
    std::transform(sizes.begin(), sizes.end(), caps.begin(), lane_cap);
    std::vector<uint64_t> lanes(sizes.size(), 1);
    uint64_t spare = jobs - sizes.size();

    // Each pass hands out at least one lane while a file is below its cap, so the loop ends.
    while (spare > 0) {
        const std::vector<size_t> below = files_below_cap(lanes, caps);
        if (below.empty()) break;
        const u128 total = std::accumulate(below.begin(), below.end(), u128{0},
                                           [&](u128 sum, size_t i) { return sum + sizes[i]; });
        const uint64_t spare0 = spare;
        std::vector<u128> remainders(sizes.size());
        for (size_t i : below) {
            const u128 scaled = u128{sizes[i]} * spare0;
            const u128 share = scaled / total;
            remainders[i] = scaled % total;
            if (share > spare0) base::panic("a proportional share is no larger than the lane budget");
            const uint64_t add = std::min(static_cast<uint64_t>(share), caps[i] - lanes[i]);
            lanes[i] += add;
            spare -= add;
        }
        std::vector<size_t> by_remainder = below;
        std::stable_sort(by_remainder.begin(), by_remainder.end(),
                         [&](size_t a, size_t b) { return remainders[a] > remainders[b]; });
        for (size_t i : by_remainder) {
            if (spare == 0) break;
            if (lanes[i] >= caps[i]) continue;
            ++lanes[i];
            --spare;
        }
    }
    return lanes;
}

}  // namespace kro::verify
