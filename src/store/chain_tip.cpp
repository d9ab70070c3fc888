#include "store/chain_tip.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "base/fd.hpp"
#include "format/hex.hpp"
#include "store/dir_entries.hpp"
#include "store/store_io.hpp"
#include "store/temp_file.hpp"

namespace kro::store {
namespace {

namespace fs = std::filesystem;
using base::IoError;

fs::path metadata_dir(const fs::path& root) {
    return root / ".metadata";
}
fs::path roots_dir(const fs::path& root) {
    return metadata_dir(root) / "roots";
}

std::span<const uint8_t> as_bytes(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

}  // namespace

std::expected<void, GenerateError> record_chain_tip(const fs::path& root, const format::FileId& tip) {
    const fs::path roots = roots_dir(root);
    if (auto made = create_dir_all(roots); !made) {
        return std::unexpected(GenerateError::io("creating the chain-tip directory", roots, made.error()));
    }
    const fs::path marker = roots / tip.to_hex();
    const base::UniqueFd fd(::open(marker.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd.valid()) {
        return std::unexpected(
            GenerateError::io("writing the chain-tip marker", marker, IoError::last_os_error()));
    }
    return {};
}

AggregateDigest chain_tip_aggregate_of(std::span<std::string> names) {
    // std::string compares as unsigned bytes, a prefix first.
    std::ranges::sort(names);
    format::Blake2b160 hasher;
    for (const auto& name : names) hasher.update(as_bytes(name));
    return hasher.finalize();
}

std::expected<AggregateDigest, GenerateError> write_chain_tip_aggregate(const fs::path& root) {
    const fs::path meta = metadata_dir(root);
    const fs::path roots = roots_dir(root);
    auto entries = read_dir_entries(roots);
    if (!entries) {
        return std::unexpected(GenerateError::io("listing the chain-tip markers", roots, entries.error()));
    }
    std::vector<std::string> names;
    names.reserve(entries->size());
    for (auto& entry : *entries) names.push_back(owned_file_name(std::move(entry.path)));
    const AggregateDigest digest = chain_tip_aggregate_of(names);

    auto temp = create_unique_temp_file(meta, "all.tmp-");
    if (!temp) {
        return std::unexpected(
            GenerateError::io("creating the aggregate temporary file", meta, temp.error()));
    }
    const std::string hex = format::encode_hex(digest);
    if (auto written = write_all(temp->fd(), as_bytes(hex)); !written) {
        return std::unexpected(GenerateError::io("writing the aggregate", temp->path(), written.error()));
    }
    if (::fsync(temp->fd()) != 0) {
        return std::unexpected(
            GenerateError::io("syncing the aggregate", temp->path(), IoError::last_os_error()));
    }
    const fs::path all = meta / "all";
    if (auto placed = std::move(*temp).persist(all); !placed) {
        return std::unexpected(GenerateError::io("replacing the aggregate", all, placed.error()));
    }
    return digest;
}

}  // namespace kro::store
