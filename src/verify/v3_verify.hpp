#pragma once
// v3 verification of one file: every 1 MiB file block is read, its content compared with the
// regenerated content stream and its leaf hashed; the leaves give the Merkle FileId. One lane
// checks the blocks in order on the calling thread; more lanes share them. All reads are
// positional, so lanes can share the open file. The result does not depend on the lane count.

#include <cstdint>
#include <expected>

#include "base/hooks.hpp"
#include "base/io_error.hpp"
#include "format/header.hpp"
#include "store/progress.hpp"
#include "verify/scratch_pair.hpp"
#include "verify/v3_block.hpp"

namespace kro::verify {

// The Merkle ID of the file and whether its content is sound, over `lanes` (at least 1) lanes.
// `progress`, when given, is advanced by the content bytes read.
std::expected<V3FileCheck, base::IoError> verify_v3_file(int fd, const format::Header& header,
                                                         uint64_t actual_len, uint64_t lanes,
                                                         ScratchPair& scratch, store::FileProgress* progress,
                                                         const base::Hooks* hooks = nullptr);

}  // namespace kro::verify
