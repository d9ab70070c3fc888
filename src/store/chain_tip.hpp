#pragma once
// The store's records of finished runs. Each run leaves an empty chain-tip marker named by the
// 40 hex digits of its last FileId in <root>/.metadata/roots, and then rewrites the aggregate
// <root>/.metadata/all: the 40 hex digits of BLAKE2b-160 over the names of every entry in
// `roots`, sorted byte-wise and concatenated. The aggregate changes only by a rename of a synced
// temporary sibling, so readers never see it half written. Runs on the calling thread.

#include <array>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>
#include <string>

#include "format/file_id.hpp"
#include "store/generate_error.hpp"

namespace kro::store {

using AggregateDigest = std::array<uint8_t, 20>;

// Creates (or truncates) the empty marker of `tip`, making the marker directory as needed.
std::expected<void, GenerateError> record_chain_tip(const std::filesystem::path& root,
                                                    const format::FileId& tip);

// Recomputes the aggregate from every entry of the marker directory, writes it through a synced
// temporary file and returns its digest.
std::expected<AggregateDigest, GenerateError> write_chain_tip_aggregate(const std::filesystem::path& root);

// The aggregate digest of a set of entry names (raw bytes, in any order).
AggregateDigest chain_tip_aggregate_of(std::span<std::string> names);

}  // namespace kro::store
