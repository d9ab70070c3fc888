#pragma once
// The store's own records beside its content files: <root>/.metadata/roots holds one empty
// chain-tip marker per recorded chain tip, named by the tip's 40 hex digits, and
// <root>/.metadata/all the aggregate: the 40 hex digits of BLAKE2b-160 over the names of every
// entry of `roots`, sorted byte-wise and concatenated without separator. Generation writes them,
// verification reads and recomputes them. Pure.

#include <array>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace kro::format {

// Each views a whole string literal, so its data() is also a C string.
inline constexpr std::string_view METADATA_DIR = ".metadata";
inline constexpr std::string_view ROOTS_DIR = "roots";
inline constexpr std::string_view AGGREGATE_FILE = "all";

// <root>/.metadata, <root>/.metadata/roots and <root>/.metadata/all.
std::filesystem::path metadata_path(const std::filesystem::path& root);
std::filesystem::path roots_path(const std::filesystem::path& root);
std::filesystem::path aggregate_path(const std::filesystem::path& root);

using AggregateDigest = std::array<uint8_t, 20>;

// The aggregate digest of a set of entry names (raw bytes, in any order; sorted here).
AggregateDigest chain_tip_aggregate_of(std::span<std::string> names);

}  // namespace kro::format
