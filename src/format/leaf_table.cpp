#include "format/leaf_table.hpp"

#include <new>

namespace kro::format {

std::expected<std::vector<format::MerkleHash>, base::IoError> allocate_leaf_table(uint64_t blocks) {
    std::vector<format::MerkleHash> leaves;
    if (blocks > leaves.max_size()) return std::unexpected(base::IoError::out_of_memory());
    try {
        leaves.resize(static_cast<size_t>(blocks));
    } catch (const std::bad_alloc&) {
        return std::unexpected(base::IoError::out_of_memory());
    }
    return leaves;
}

}  // namespace kro::format
