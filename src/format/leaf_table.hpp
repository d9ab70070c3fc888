#pragma once
// Room for the leaf hashes of one v3 file while it is written or checked: one per file block,
// stored by block index. A file can declare (or a sparse file claim) more blocks than memory
// holds; that is an out-of-memory I/O error for the caller to report, not a crash.

#include <cstdint>
#include <expected>
#include <vector>

#include "base/errors/io_error.hpp"
#include "format/file_id.hpp"

namespace kro::format {

std::expected<std::vector<format::MerkleHash>, base::IoError> allocate_leaf_table(uint64_t blocks);

}  // namespace kro::format
