#pragma once
// File identity. A FileId names one content file and its place in a store: for v2 files it is
// the BLAKE2b-160 digest of the whole file, for v3 files ("KRO-Merkle-BLAKE3-160") the first 20
// bytes of a BLAKE3 Merkle root over 1 MiB file blocks, so that large files can be hashed block
// by block on many threads and still get one well-defined ID. A ContentSeed is the 16 bytes from
// which a file's whole content stream is regenerated.
//
// Both are plain values. Every function here is pure and may be called from any thread.

#include <fmt/format.h>

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "format/digest.hpp"
#include "format/geometry.hpp"
#include "format/hex.hpp"

namespace kro::format {

struct FileId {
    static constexpr std::size_t LEN = 20;
    std::array<uint8_t, LEN> bytes{};

    // All zero: in a header's parent field, the file has no parent.
    bool is_zero() const;
    // 40 lower-case hex digits.
    std::string to_hex() const;
    // The relative path "b0/b1/b2/{34 digits}" under which the file lives in a store.
    std::filesystem::path shard_path() const;

    friend bool operator==(const FileId&, const FileId&) = default;
    friend auto operator<=>(const FileId&, const FileId&) = default;
};

struct ContentSeed {
    static constexpr std::size_t LEN = 16;
    std::array<uint8_t, LEN> bytes{};

    bool is_zero() const;
    // 32 lower-case hex digits.
    std::string to_hex() const;

    friend bool operator==(const ContentSeed&, const ContentSeed&) = default;
};

// The hash of a FileId in hash tables: all 20 bytes under a key drawn from the operating system
// once per process (a fixed key when it cannot give one). The IDs a store names are whatever its
// files and markers say, so a plain slice of them could be chosen to collide and turn every
// table of the chain checks into a list.
std::size_t hash_value(const FileId& id) noexcept;

// 40 hex digits (either case) as the 20 bytes of a FileId: how a chain-tip marker name is read.
std::expected<FileId, HexError> decode_hex_20(std::string_view text);

// A leaf, node or root of the v3 tree.
using MerkleHash = std::array<uint8_t, 32>;

// Number of v3 leaves (file blocks) of a file: ceil(file_length / FILE_BLOCK_SIZE).
uint64_t v3_leaf_count(uint64_t file_length);

// Length of file block `block_index` of a file of `file_length` bytes (the last one is cut).
uint64_t file_block_len(uint64_t file_length, uint64_t block_index);

// The leaf hash of file block `block_index`, whose bytes (header included for block 0) are `block`.
MerkleHash leaf_hash(uint64_t block_index, std::span<const uint8_t> block);

// The v3 FileId from the leaf hashes of all file blocks in block order. The vector is taken
// over and reused in place as scratch for the tree levels. Panics when file_length is below the
// header length or the leaf count does not match file_length.
FileId merkle_file_id(std::vector<MerkleHash> leaves, uint64_t file_length);

// The 32-byte root over the top node of the tree.
MerkleHash merkle_root(uint64_t file_length, uint64_t leaf_count, const MerkleHash& top_node);

// The v2 FileId: BLAKE2b-160 over every byte of the file in file order, fed in pieces of any size.
class V2FileIdHasher {
  public:
    void update(std::span<const uint8_t> bytes) { hasher_.update(bytes); }
    FileId finalize() { return FileId{hasher_.finalize()}; }

  private:
    Blake2b160 hasher_;
};

namespace detail {
// Accepts and ignores any format spec: these values print as is, width and fill have no effect.
struct AsIsFormatter {
    constexpr auto parse(fmt::format_parse_context& ctx) {
        auto it = ctx.begin();
        while (it != ctx.end() && *it != '}') ++it;
        return it;
    }
};
}  // namespace detail

}  // namespace kro::format

template <>
struct fmt::formatter<kro::format::FileId> : kro::format::detail::AsIsFormatter {
    auto format(const kro::format::FileId& id, fmt::format_context& ctx) const {
        return fmt::format_to(ctx.out(), "{}", id.to_hex());
    }
};

template <>
struct fmt::formatter<kro::format::ContentSeed> : kro::format::detail::AsIsFormatter {
    auto format(const kro::format::ContentSeed& seed, fmt::format_context& ctx) const {
        return fmt::format_to(ctx.out(), "{}", seed.to_hex());
    }
};

template <>
struct std::hash<kro::format::FileId> {
    std::size_t operator()(const kro::format::FileId& id) const noexcept {
        return kro::format::hash_value(id);
    }
};
