#include "verify/v3_verify.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <span>
#include <stdexcept>
#include <vector>

#include "base/file_io.hpp"
#include "base/panic.hpp"
#include "format/content.hpp"
#include "verify/v3_lanes.hpp"

namespace kro::verify {

using format::FILE_BLOCK_SIZE;
using format::HEADER_LEN;

namespace {

base::IoError unexpected_eof(const char* message) {
    return base::IoError::with_message(base::IoErrorKind::UnexpectedEof, message);
}

}  // namespace

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
    auto got = base::read_at_full(fd, scratch.block, start);
    if (!got) return std::unexpected(std::move(got.error()));
    if (*got < len) return std::unexpected(unexpected_eof("v3 file changed while it was being read"));

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

std::expected<V3FileCheck, base::IoError> verify_v3_file(int fd, const format::Header& header,
                                                         uint64_t actual_len, uint64_t lanes,
                                                         ScratchPair& scratch, store::FileProgress* progress,
                                                         const ParallelSeams& seams) {
    if (lanes == 0) base::panic("a v3 file hash needs at least one lane");
    if (actual_len < HEADER_LEN)
        return std::unexpected(unexpected_eof("a v3 file is shorter than its header"));
    const uint64_t blocks = format::v3_leaf_count(actual_len);
    // One leaf per MiB of the real file; a sparse file can claim more than memory holds.
    std::vector<format::MerkleHash> leaves;
    try {
        leaves.resize(blocks);
    } catch (const std::bad_alloc&) {
        return std::unexpected(base::IoError::with_message(base::IoErrorKind::OutOfMemory, "out of memory"));
    } catch (const std::length_error&) {
        return std::unexpected(base::IoError::with_message(base::IoErrorKind::OutOfMemory, "out of memory"));
    }
    if (lanes >= 2)
        return run_v3_lanes(fd, header, actual_len, lanes, std::move(leaves), scratch, progress, seams);
    bool content_ok = true;
    for (uint64_t b = 0; b < blocks; ++b) {
        auto checked = check_v3_block(fd, header, actual_len, b, scratch);
        if (!checked) return std::unexpected(std::move(checked.error()));
        const uint64_t counted = v3_block_progress_bytes(b, format::file_block_len(actual_len, b));
        if (progress != nullptr && counted > 0) progress->advance(counted);
        leaves[b] = checked->leaf;
        content_ok = content_ok && checked->equal;
    }
    return V3FileCheck{format::merkle_file_id(std::move(leaves), actual_len), content_ok};
}

}  // namespace kro::verify
