#include "verify/analysis/sequential_analysis.hpp"

#include <algorithm>
#include <new>

#include "base/page_buffer.hpp"
#include "base/page_cache.hpp"
#include "format/content.hpp"
#include "verify/analysis/chunk_compare.hpp"

namespace kro::verify {

using format::HEADER_LEN;

namespace {

// Where a piece that starts at `offset` ends: after whole chunks adding up to at most `piece_len`
// (which holds at least one chunk), or at `limit`.
uint64_t piece_end(uint64_t offset, uint64_t piece_len, uint64_t chunk_size, uint64_t limit) {
    if (limit - offset <= piece_len) return limit;
    const uint64_t reach = offset + piece_len;
    return reach - reach % chunk_size;
}

std::expected<RegionList, base::IoError> compare_span(int fd, const format::Header& header, uint64_t span_end,
                                                      uint64_t chunk_size, MemoryBudget& budget,
                                                      const base::Hooks* hooks, uint64_t& read_end) {
    RegionList regions;
    read_end = span_end;
    if (span_end <= HEADER_LEN) return regions;
    // Both buffers are made once and sized by the compared span, never by a declared length, and
    // count against the run's budget like those of a parallel unit.
    const uint64_t piece_len = std::min(std::max(chunk_size, ANALYSIS_READ_TARGET), span_end - HEADER_LEN);
    budget.reserve(2 * piece_len);
    const Reservation reservation(budget, 2 * piece_len, hooks);
    auto actual = base::PageBuffer::allocate(static_cast<size_t>(piece_len));
    if (!actual) return std::unexpected(std::move(actual.error()));
    auto expected = base::PageBuffer::allocate(static_cast<size_t>(piece_len));
    if (!expected) return std::unexpected(std::move(expected.error()));
    auto reader = format::ContentReader::at_offset(header.seed(), 0, header.version());
    uint64_t offset = HEADER_LEN;
    while (offset < span_end) {
        const auto want = static_cast<size_t>(piece_end(offset, piece_len, chunk_size, span_end) - offset);
        auto got = base::read_at_full_uncached(fd, actual->span().first(want), offset, hooks);
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

std::expected<RegionList, base::IoError> analyze_sequential(int fd, const format::Header& header,
                                                            uint64_t actual_len, uint64_t chunk_size,
                                                            MemoryBudget& budget, const base::Hooks* hooks) {
    const uint64_t declared_len = header.file_length();
    try {
        uint64_t read_end = 0;
        auto regions =
            compare_span(fd, header, std::min(declared_len, actual_len), chunk_size, budget, hooks, read_end);
        if (!regions) return regions;
        push_tail_region(*regions, declared_len, actual_len, read_end);
        return regions;
    } catch (const std::bad_alloc&) {
        return std::unexpected(base::IoError::out_of_memory());
    }
}

}  // namespace kro::verify
