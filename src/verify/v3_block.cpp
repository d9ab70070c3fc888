#include "verify/v3_block.hpp"

#include <algorithm>
#include <cstring>
#include <span>

#include "base/page_cache.hpp"
#include "format/content.hpp"
#include "verify/verify_error.hpp"

namespace kro::verify {

using format::FILE_BLOCK_SIZE;
using format::HEADER_LEN;

uint64_t v3_block_progress_bytes(uint64_t block_index, uint64_t block_len) {
    if (block_index != 0) return block_len;
    return block_len > HEADER_LEN ? block_len - HEADER_LEN : 0;
}

std::expected<V3BlockCheck, base::IoError> check_v3_block(int fd, const format::Header& header,
                                                          uint64_t actual_len, uint64_t block_index,
                                                          ScratchPair& scratch) {
    const uint64_t start = block_index * FILE_BLOCK_SIZE;
    const auto len = static_cast<size_t>(std::min(actual_len - start, FILE_BLOCK_SIZE));
    scratch.block.resize(len);
    auto got = base::read_at_full_uncached(fd, scratch.block, start);
    if (!got) return std::unexpected(std::move(got.error()));
    if (*got < len) {
        return std::unexpected(changed_while_read("v3 file"));
    }

    // Bytes past the declared length are never compared; they only enter the file ID.
    const uint64_t skip = block_index == 0 ? HEADER_LEN : 0;
    const uint64_t end = std::min(start + len, header.file_length());
    bool equal = true;
    if (start + skip < end) {
        const auto compared = static_cast<size_t>(end - start - skip);
        if (scratch.expected.size() < compared) scratch.expected.resize(compared);
        const auto expected = std::span(scratch.expected).first(compared);
        format::fill_content_block(scratch.sponge, format::FormatVersion::V3, header.seed(), block_index,
                                   expected);
        equal = std::memcmp(scratch.block.data() + skip, expected.data(), compared) == 0;
    }
    return V3BlockCheck{format::leaf_hash(block_index, scratch.block), equal};
}

}  // namespace kro::verify
