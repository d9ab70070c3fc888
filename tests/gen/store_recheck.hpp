#pragma once
// An independent re-check of a generated store, written from the file format alone: every
// content file sits at the path of its own FileId, its header parses, its length is the
// header's, its content equals the regenerated blocks, its FileId recomputed from the bytes
// matches the path, and every chain leads back to a root file. The chain-tip markers and the
// aggregate are checked against the markers present.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "format/content.hpp"
#include "format/digest.hpp"
#include "format/file_id.hpp"
#include "format/header.hpp"
#include "format/hex.hpp"
#include "format/store_path.hpp"
#include "support/scratch_dir.hpp"

namespace kro::testing {

struct StoreFile {
    std::filesystem::path relative;
    format::Header header;
};

struct RecheckedStore {
    std::map<format::FileId, StoreFile> files;
    std::vector<std::string> markers;  // names in .metadata/roots, sorted
};

inline format::FileId recompute_file_id(const std::vector<uint8_t>& bytes, format::FormatVersion version) {
    if (version == format::FormatVersion::V2) {
        format::Blake2b160 hasher;
        hasher.update(bytes);
        return format::FileId{hasher.finalize()};
    }
    std::vector<format::MerkleHash> leaves;
    for (uint64_t offset = 0, k = 0; offset < bytes.size(); offset += format::FILE_BLOCK_SIZE, ++k) {
        const size_t len = std::min<size_t>(format::FILE_BLOCK_SIZE, bytes.size() - offset);
        leaves.push_back(format::leaf_hash(k, std::span(bytes).subspan(offset, len)));
    }
    return format::merkle_file_id(std::move(leaves), bytes.size());
}

// The bytes a file with this header must hold, built block by block from the format.
inline std::vector<uint8_t> expected_file_bytes(const format::Header& header) {
    std::vector<uint8_t> bytes(header.file_length());
    const auto encoded = header.encode();
    std::ranges::copy(encoded, bytes.begin());
    for (uint64_t k = 0; k * format::FILE_BLOCK_SIZE < bytes.size(); ++k) {
        const uint64_t start = k == 0 ? format::HEADER_LEN : k * format::FILE_BLOCK_SIZE;
        const uint64_t end = std::min<uint64_t>((k + 1) * format::FILE_BLOCK_SIZE, bytes.size());
        format::fill_content_block(header.version(), header.seed(), k,
                                   std::span(bytes).subspan(start, end - start));
    }
    return bytes;
}

// Checks one content file; returns its header.
inline std::optional<format::Header> recheck_file(const std::filesystem::path& path) {
    const auto named = format::parse_content_path(path);
    EXPECT_TRUE(named.has_value()) << path;
    if (!named) return std::nullopt;
    const auto bytes = read_file(path);
    const auto header = format::Header::parse(bytes);
    EXPECT_TRUE(header.has_value()) << path;
    if (!header) return std::nullopt;
    EXPECT_EQ(bytes.size(), header->file_length()) << path;
    EXPECT_TRUE(bytes == expected_file_bytes(*header)) << "content differs: " << path;
    EXPECT_EQ(recompute_file_id(bytes, header->version()), *named) << path;
    return *header;
}

// Every content file below `root` (outside .metadata), each checked on its own.
inline std::map<format::FileId, StoreFile> recheck_store_files(const std::filesystem::path& root) {
    std::map<format::FileId, StoreFile> files;
    for (auto it = std::filesystem::recursive_directory_iterator(root);
         it != std::filesystem::recursive_directory_iterator(); ++it) {
        if (it->path().filename() == ".metadata") {
            it.disable_recursion_pending();
            continue;
        }
        if (!it->is_regular_file()) continue;
        const auto header = recheck_file(it->path());
        if (!header) continue;
        const auto id = format::parse_content_path(it->path()).value();
        EXPECT_EQ(it->path(), format::store_path_of(root, id));
        files.emplace(id, StoreFile{std::filesystem::relative(it->path(), root), *header});
    }
    return files;
}

// The content files and the chain-tip records of a store.
inline RecheckedStore recheck_store(const std::filesystem::path& root) {
    RecheckedStore store;
    store.files = recheck_store_files(root);
    const auto roots = root / ".metadata" / "roots";
    for (const auto& entry : std::filesystem::directory_iterator(roots)) {
        store.markers.push_back(entry.path().filename().string());
    }
    std::ranges::sort(store.markers);
    std::string joined;
    for (const auto& m : store.markers) joined += m;
    format::Blake2b160 aggregate;
    aggregate.update({reinterpret_cast<const uint8_t*>(joined.data()), joined.size()});
    const auto all = read_file(root / ".metadata" / "all");
    EXPECT_EQ(std::string(all.begin(), all.end()), format::encode_hex(aggregate.finalize()));
    return store;
}

// The files of the chain that ends at `tip`, from its root file to the tip; every link must be
// in the store and the chain must end at a file with the all-zero parent.
inline std::vector<format::FileId> chain_of(const RecheckedStore& store, format::FileId tip) {
    std::vector<format::FileId> chain;
    while (!tip.is_zero()) {
        const auto it = store.files.find(tip);
        EXPECT_NE(it, store.files.end()) << "missing link " << tip.to_hex();
        if (it == store.files.end() || chain.size() > store.files.size()) break;
        chain.push_back(tip);
        tip = it->second.header.parent();
    }
    std::ranges::reverse(chain);
    return chain;
}

}  // namespace kro::testing
