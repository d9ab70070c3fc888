#pragma once
// v3 verification of one file on one lane: the blocks are checked one after the other on the
// calling thread, with the caller's scratch pair.

#include <cstdint>
#include <expected>
#include <vector>

#include "base/io_error.hpp"
#include "format/file_id.hpp"
#include "format/header.hpp"
#include "store/progress.hpp"
#include "verify/scratch_pair.hpp"
#include "verify/v3_block.hpp"

namespace kro::verify {

// Checks every block of a file of `actual_len` bytes (at least the header length) in order;
// `leaves` holds one zeroed leaf per block. The first failing block's error is returned at once.
// `progress`, when given, is advanced by the content bytes read.
std::expected<V3FileCheck, base::IoError> check_v3_blocks_in_order(int fd, const format::Header& header,
                                                                   uint64_t actual_len,
                                                                   std::vector<format::MerkleHash> leaves,
                                                                   ScratchPair& scratch,
                                                                   store::FileProgress* progress);

}  // namespace kro::verify
