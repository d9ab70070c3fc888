#include "verify/analysis/chunk_compare.hpp"

#include <algorithm>
#include <cstring>

namespace kro::verify {

namespace {

// The index of the first byte at which `a` and `b` differ, or their length when they agree.
size_t first_difference(std::span<const uint8_t> a, std::span<const uint8_t> b) {
    const size_t n = a.size();
    // Damage comes in runs: the next few bytes are looked at one by one before whole blocks are
    // skipped.
    constexpr size_t NEAR = 16;
    constexpr size_t BLOCK = 256;
    size_t at = 0;
    for (const size_t near = std::min(n, NEAR); at < near; ++at) {
        if (a[at] != b[at]) return at;
    }
    while (n - at >= BLOCK && std::memcmp(a.data() + at, b.data() + at, BLOCK) == 0) at += BLOCK;
    while (at < n && a[at] == b[at]) ++at;
    return at;
}

}  // namespace

uint64_t chunk_end(uint64_t offset, uint64_t chunk_size, uint64_t limit) {
    const uint64_t to_grid = chunk_size - offset % chunk_size;
    return limit - offset <= to_grid ? limit : offset + to_grid;
}

void compare_chunks(std::span<const uint8_t> actual, std::span<const uint8_t> expected, uint64_t first,
                    uint64_t chunk_size, RegionList& regions) {
    const uint64_t stop = first + actual.size();
    uint64_t p = first;
    while (p < stop) {
        // Equal chunks record nothing: go straight to the chunk that holds the next differing byte.
        const auto at = static_cast<size_t>(p - first);
        const size_t same = first_difference(actual.subspan(at), expected.subspan(at));
        if (same == stop - p) return;
        const uint64_t differs = p + same;
        const uint64_t start = std::max(p, differs - differs % chunk_size);
        const uint64_t end = chunk_end(start, chunk_size, stop);
        const auto from = static_cast<size_t>(start - first);
        const auto len = static_cast<size_t>(end - start);
        push_region(regions,
                    CorruptRegion{classify_chunk(actual.subspan(from, len), expected.subspan(from, len)),
                                  start, len});
        p = end;
    }
}

void push_tail_region(RegionList& regions, uint64_t declared_len, uint64_t actual_len, uint64_t read_end) {
    // A file that ended early while it was read is as long as what could be read: the bytes it
    // lost are reported missing, never taken for sound content.
    if (read_end < std::min(declared_len, actual_len)) actual_len = read_end;
    if (actual_len < declared_len) {
        const uint64_t missing = declared_len - actual_len;
        push_region(regions, CorruptRegion{CorruptionPattern::Truncated{missing}, actual_len, missing});
    } else if (actual_len > declared_len) {
        const uint64_t extra = actual_len - declared_len;
        push_region(regions, CorruptRegion{CorruptionPattern::ExtraBytes{extra}, declared_len, extra});
    }
}

}  // namespace kro::verify
