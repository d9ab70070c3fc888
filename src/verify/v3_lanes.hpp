#pragma once
// v3 verification of one file over several lanes: the calling thread and up to lanes - 1 scoped
// threads claim blocks from one shared counter, check them with `check_v3_block` and store each
// leaf at its block index, so the Merkle ID and the content verdict equal those of one lane. The
// first failing lane stops the others from claiming; the error of the lowest failing block wins;
// a fault of any lane is raised again on the calling thread once every lane has ended.

#include <cstdint>
#include <expected>
#include <vector>

#include "base/hooks.hpp"
#include "base/io_error.hpp"
#include "format/file_id.hpp"
#include "format/header.hpp"
#include "store/progress.hpp"
#include "verify/scratch_pair.hpp"
#include "verify/v3_block.hpp"

namespace kro::verify {

// Checks every block of a file of `actual_len` bytes (at least the header length) over
// min(lanes, blocks) lanes, lanes >= 2. `leaves` holds one zeroed leaf per block; the calling
// thread's lane uses `scratch`, every extra lane a pair of its own. A lane that cannot be started
// leaves its blocks to the lanes already running.
std::expected<V3FileCheck, base::IoError> run_v3_lanes(int fd, const format::Header& header,
                                                       uint64_t actual_len, uint64_t lanes,
                                                       std::vector<format::MerkleHash> leaves,
                                                       ScratchPair& scratch, store::FileProgress* progress,
                                                       const base::Hooks* hooks);

}  // namespace kro::verify
