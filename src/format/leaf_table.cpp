#include "format/leaf_table.hpp"

#include <new>
#include <stdexcept>

namespace kro::format {

std::expected<std::vector<format::MerkleHash>, base::IoError> allocate_leaf_table(uint64_t blocks) {
    const auto out_of_memory = [] {
        return std::unexpected(base::IoError::with_message(base::IoErrorKind::OutOfMemory, "out of memory"));
    };
    std::vector<format::MerkleHash> leaves;
    if (blocks > leaves.max_size()) return out_of_memory();
    try {
        leaves.resize(static_cast<size_t>(blocks));
    } catch (const std::bad_alloc&) {
        return out_of_memory();
    }
    return leaves;
}

}  // namespace kro::format
