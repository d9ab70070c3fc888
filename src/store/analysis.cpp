#include "store/analysis.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "format/content.hpp"
#include "store/parallel_analysis.hpp"
#include "store/store_io.hpp"

namespace kro::store {

using format::HEADER_LEN;

uint64_t chunk_end(uint64_t offset, uint64_t chunk_size, uint64_t limit) {
    const uint64_t to_grid = chunk_size - offset % chunk_size;
    return limit - offset <= to_grid ? limit : offset + to_grid;
}

void compare_chunk(std::span<const uint8_t> actual, std::span<const uint8_t> expected, uint64_t offset,
                   std::vector<CorruptRegion>& regions) {
    if (std::memcmp(actual.data(), expected.data(), actual.size()) == 0) return;
    push_region(regions, CorruptRegion{classify_chunk(actual, expected), offset, actual.size()});
}

void push_tail_region(std::vector<CorruptRegion>& regions, uint64_t declared_len, uint64_t actual_len) {
    if (actual_len < declared_len) {
        const uint64_t missing = declared_len - actual_len;
        push_region(regions, CorruptRegion{CorruptionPattern::Truncated{missing}, actual_len, missing});
    } else if (actual_len > declared_len) {
        const uint64_t extra = actual_len - declared_len;
        push_region(regions, CorruptRegion{CorruptionPattern::ExtraBytes{extra}, declared_len, extra});
    }
}

std::expected<std::vector<CorruptRegion>, base::IoError> analyze_sequential(int fd,
                                                                            const format::Header& header,
                                                                            uint64_t actual_len,
                                                                            uint64_t chunk_size) {
    if (::lseek(fd, static_cast<off_t>(HEADER_LEN), SEEK_SET) < 0) {
        return std::unexpected(base::IoError::last_os_error());
    }
    const uint64_t declared_len = header.file_length();
    const uint64_t span_end = std::min(declared_len, actual_len);
    std::vector<CorruptRegion> regions;
    if (span_end > HEADER_LEN) {
        // Both buffers are made once and sized by the compared span, never by a declared length.
        const auto buffer_len = static_cast<size_t>(std::min<uint64_t>(chunk_size, span_end - HEADER_LEN));
        std::vector<uint8_t> actual(buffer_len);
        std::vector<uint8_t> expected(buffer_len);
        auto reader = format::ContentReader::at_offset(header.seed(), 0, header.version());
        uint64_t offset = HEADER_LEN;
        while (offset < span_end) {
            const auto want = static_cast<size_t>(chunk_end(offset, chunk_size, span_end) - offset);
            auto got = read_full(fd, std::span(actual).first(want));
            if (!got) return std::unexpected(std::move(got.error()));
            if (*got == 0) break;  // the file ended early: the tail region still follows from the lengths
            const auto chunk = std::span(actual).first(*got);
            const auto regenerated = std::span(expected).first(*got);
            reader.fill(regenerated);
            compare_chunk(chunk, regenerated, offset, regions);
            offset += *got;
        }
    }
    push_tail_region(regions, declared_len, actual_len);
    return regions;
}

std::expected<std::vector<CorruptRegion>, base::IoError> analyze_corruption(
    int fd, const format::Header& header, uint64_t actual_len, uint64_t chunk_size, uint64_t workers,
    MemoryBudget& budget, const ParallelSeams& seams) {
    if (workers >= 2) return analyze_parallel(fd, header, actual_len, chunk_size, workers, budget, seams);
    return analyze_sequential(fd, header, actual_len, chunk_size);
}

}  // namespace kro::store
