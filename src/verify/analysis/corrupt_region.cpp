#include "verify/analysis/corrupt_region.hpp"

#include <algorithm>
#include <array>

namespace kro::verify {

CorruptionPattern classify_chunk(std::span<const uint8_t> actual, std::span<const uint8_t> expected) {
    const size_t n = actual.size();
    const uint8_t first = n == 0 ? 0 : actual[0];
    // A chunk overwritten with one value is named after the value, however many of its bytes
    // happen to match the expected content.
    if (std::all_of(actual.begin(), actual.end(), [first](uint8_t b) { return b == first; })) {
        if (first == 0) return CorruptionPattern::ZeroFilled{};
        return CorruptionPattern::RepeatedByte{first};
    }
    uint64_t differing = 0;
    std::array<uint64_t, RECORDED_POSITIONS> positions{};
    for (size_t i = 0; i < n; ++i) {
        if (actual[i] == expected[i]) continue;
        if (differing < RECORDED_POSITIONS) positions[differing] = i;
        ++differing;
    }
    const double ratio = static_cast<double>(differing) / static_cast<double>(n);
    if (ratio < SPARSE_RATIO) return CorruptionPattern::Sparse{differing};
    const uint64_t recorded = std::min(differing, RECORDED_POSITIONS);
    const bool aligned = std::all_of(positions.begin(), positions.begin() + static_cast<ptrdiff_t>(recorded),
                                     [](uint64_t p) { return p % TESTED_ALIGNMENT == 0; });
    if (aligned) return CorruptionPattern::Aligned{TESTED_ALIGNMENT};
    return CorruptionPattern::Random{ratio};
}

bool continues(const CorruptRegion& last, const CorruptRegion& next) {
    return last.offset + last.length == next.offset && last.pattern == next.pattern;
}

}  // namespace kro::verify
