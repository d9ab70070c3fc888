#include "format/store_layout.hpp"

#include <algorithm>

#include "format/digest.hpp"

namespace kro::format {

std::filesystem::path metadata_path(const std::filesystem::path& root) {
    return root / METADATA_DIR;
}

std::filesystem::path roots_path(const std::filesystem::path& root) {
    return metadata_path(root) / ROOTS_DIR;
}

std::filesystem::path aggregate_path(const std::filesystem::path& root) {
    return metadata_path(root) / AGGREGATE_FILE;
}

AggregateDigest chain_tip_aggregate_of(std::span<std::string> names) {
    // std::string compares as unsigned bytes, a prefix first.
    std::ranges::sort(names);
    Blake2b160 hasher;
    for (const std::string& name : names) {
        hasher.update({reinterpret_cast<const uint8_t*>(name.data()), name.size()});
    }
    return hasher.finalize();
}

}  // namespace kro::format
