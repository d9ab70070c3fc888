#include "verify/analysis/analysis.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "base/page_buffer.hpp"
#include "format/content.hpp"
#include "verify/analysis/parallel_analysis.hpp"

namespace kro::verify {

using format::HEADER_LEN;

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

// Where a piece of the sequential analysis that starts at `offset` ends: after whole chunks adding
// up to at most `piece_len` (which holds at least one chunk), or at `limit`.
uint64_t piece_end(uint64_t offset, uint64_t piece_len, uint64_t chunk_size, uint64_t limit) {
    if (limit - offset <= piece_len) return limit;
    const uint64_t reach = offset + piece_len;
    return reach - reach % chunk_size;
}

std::expected<RegionList, base::IoError> compare_span(int fd, const format::Header& header, uint64_t span_end,
                                                      uint64_t chunk_size, const ParallelSeams& seams,
                                                      uint64_t& read_end) {
    RegionList regions;
    read_end = span_end;
    if (span_end <= HEADER_LEN) return regions;
    // Both buffers are made once and sized by the compared span, never by a declared length.
    const uint64_t piece_len = std::min(std::max(chunk_size, ANALYSIS_READ_TARGET), span_end - HEADER_LEN);
    auto actual = base::PageBuffer::allocate(static_cast<size_t>(piece_len));
    if (!actual) return std::unexpected(std::move(actual.error()));
    auto expected = base::PageBuffer::allocate(static_cast<size_t>(piece_len));
    if (!expected) return std::unexpected(std::move(expected.error()));
    auto reader = format::ContentReader::at_offset(header.seed(), 0, header.version());
    uint64_t offset = HEADER_LEN;
    while (offset < span_end) {
        const auto want = static_cast<size_t>(piece_end(offset, piece_len, chunk_size, span_end) - offset);
        auto got = seams.analysis_read_at(fd, actual->span().first(want), offset);
        if (!got) return std::unexpected(std::move(got.error()));
        const auto regenerated = expected->span().first(*got);
        reader.fill(regenerated);
        compare_chunks(actual->span().first(*got), regenerated, offset, chunk_size, regions);
        offset += *got;
        if (*got < want) break;  // the file ended early
    }
    read_end = offset;
    return regions;
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

std::expected<RegionList, base::IoError> analyze_sequential(int fd, const format::Header& header,
                                                            uint64_t actual_len, uint64_t chunk_size,
                                                            const ParallelSeams& seams) {
    const uint64_t declared_len = header.file_length();
    try {
        uint64_t read_end = 0;
        auto regions =
            compare_span(fd, header, std::min(declared_len, actual_len), chunk_size, seams, read_end);
        if (!regions) return regions;
        push_tail_region(*regions, declared_len, actual_len, read_end);
        return regions;
    } catch (const std::bad_alloc&) {
        return std::unexpected(base::IoError::out_of_memory());
    }
}

std::expected<RegionList, base::IoError> analyze_corruption(int fd, const format::Header& header,
                                                            uint64_t actual_len, uint64_t chunk_size,
                                                            uint64_t workers, MemoryBudget& budget,
                                                            const ParallelSeams& seams) {
    if (workers >= 2) return analyze_parallel(fd, header, actual_len, chunk_size, workers, budget, seams);
    return analyze_sequential(fd, header, actual_len, chunk_size, seams);
}

}  // namespace kro::verify
