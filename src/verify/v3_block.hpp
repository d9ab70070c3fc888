#pragma once
// The check of one 1 MiB block of a v3 file, shared by the one-lane and the many-lane paths: the
// block is read positionally, its content compared with the regenerated content stream up to the
// declared length, and its leaf hashed for the Merkle FileId.

#include <cstdint>
#include <expected>

#include "base/io_error.hpp"
#include "format/file_id.hpp"
#include "format/header.hpp"
#include "verify/scratch_pair.hpp"

namespace kro::verify {

struct V3BlockCheck {
    format::MerkleHash leaf;
    bool equal;  // every compared byte of the block equals the regenerated content
};

struct V3FileCheck {
    format::FileId id;  // the Merkle ID over the file's actual bytes
    bool content_ok;    // every compared byte of every block equals the regenerated content
};

// Reads block `block_index` of a file of `actual_len` bytes into the scratch pair, compares its
// content up to the declared length and hashes its leaf. A block that reads short means the file
// changed while it was read (an unexpected-end-of-file error).
std::expected<V3BlockCheck, base::IoError> check_v3_block(int fd, const format::Header& header,
                                                          uint64_t actual_len, uint64_t block_index,
                                                          ScratchPair& scratch);

// The bytes of block `block_index` (of `block_len` bytes) that count as progress: the header was
// counted when it was read.
uint64_t v3_block_progress_bytes(uint64_t block_index, uint64_t block_len);

}  // namespace kro::verify
