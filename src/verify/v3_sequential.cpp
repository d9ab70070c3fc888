#include "verify/v3_sequential.hpp"

#include <utility>

namespace kro::verify {

std::expected<V3FileCheck, base::IoError> check_v3_blocks_in_order(int fd, const format::Header& header,
                                                                   uint64_t actual_len,
                                                                   std::vector<format::MerkleHash> leaves,
                                                                   ScratchPair& scratch,
                                                                   store::FileProgress* progress) {
    bool content_ok = true;
    for (uint64_t b = 0; b < leaves.size(); ++b) {
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
