#include "verify/v3_verify.hpp"

#include "base/panic.hpp"
#include "format/leaf_table.hpp"
#include "verify/v3_lanes.hpp"
#include "verify/v3_sequential.hpp"

namespace kro::verify {

std::expected<V3FileCheck, base::IoError> verify_v3_file(int fd, const format::Header& header,
                                                         uint64_t actual_len, uint64_t lanes,
                                                         ScratchPair& scratch, store::FileProgress* progress,
                                                         const base::Hooks* hooks) {
    if (lanes == 0) base::panic("a v3 file hash needs at least one lane");
    if (actual_len < format::HEADER_LEN) {
        return std::unexpected(base::IoError::with_message(base::IoErrorKind::UnexpectedEof,
                                                           "a v3 file is shorter than its header"));
    }
    // One leaf per MiB of the real file; a sparse file can claim more than memory holds.
    auto leaves = format::allocate_leaf_table(format::v3_leaf_count(actual_len));
    if (!leaves) return std::unexpected(std::move(leaves.error()));
    if (lanes >= 2) {
        return run_v3_lanes(fd, header, actual_len, lanes, std::move(*leaves), scratch, progress, hooks);
    }
    return check_v3_blocks_in_order(fd, header, actual_len, std::move(*leaves), scratch, progress);
}

}  // namespace kro::verify
