#pragma once
// Small content stores built byte for byte by the verification tests, and the damage they do to
// them. Files are written straight from the format library, so a test controls every header
// field, link and length.

#include <fcntl.h>
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "base/fd.hpp"
#include "format/content.hpp"
#include "format/file_id.hpp"
#include "format/header.hpp"
#include "format/hex.hpp"
#include "format/store_layout.hpp"
#include "support/scratch_dir.hpp"
#include "verify/verify_options.hpp"
#include "verify/verify_report.hpp"
#include "verify/verify_store.hpp"

namespace kro::verify_testing {

using testing::append;
using testing::overwrite;
using testing::read_file;
using testing::write_file;

using format::ContentSeed;
using format::FileId;
using format::FormatVersion;
using format::Header;

inline ContentSeed seed_of(uint8_t n) {
    ContentSeed seed;
    for (size_t i = 0; i < seed.bytes.size(); ++i) seed.bytes[i] = static_cast<uint8_t>(n * 31 + i);
    return seed;
}

inline Header make_header(FormatVersion version, uint64_t length, const FileId& parent = {},
                          uint8_t seed = 1) {
    return *Header::make(parent, seed_of(seed), length, version);
}

// The content bytes [content_offset, content_offset + count) of the file with `header`.
inline std::vector<uint8_t> content_bytes(const Header& header, uint64_t content_offset, size_t count) {
    std::vector<uint8_t> out(count);
    auto reader = format::ContentReader::at_offset(header.seed(), content_offset, header.version());
    reader.fill(out);
    return out;
}

// Every byte of the sound file with `header`.
inline std::vector<uint8_t> file_bytes(const Header& header) {
    const auto encoded = header.encode();
    std::vector<uint8_t> bytes(encoded.begin(), encoded.end());
    const auto content =
        content_bytes(header, 0, static_cast<size_t>(header.file_length() - format::HEADER_LEN));
    bytes.insert(bytes.end(), content.begin(), content.end());
    return bytes;
}

// The file ID of `bytes` under the recipe of `version`.
inline FileId id_of(std::span<const uint8_t> bytes, FormatVersion version) {
    if (version == FormatVersion::V2) {
        format::V2FileIdHasher hasher;
        hasher.update(bytes);
        return hasher.finalize();
    }
    std::vector<format::MerkleHash> leaves;
    for (uint64_t b = 0; b < format::v3_leaf_count(bytes.size()); ++b) {
        const uint64_t start = b * format::FILE_BLOCK_SIZE;
        leaves.push_back(format::leaf_hash(b, bytes.subspan(start, format::file_block_len(bytes.size(), b))));
    }
    return format::merkle_file_id(std::move(leaves), bytes.size());
}

inline void fill_range(const std::filesystem::path& path, uint64_t begin, uint64_t end, uint8_t value) {
    overwrite(path, begin, std::vector<uint8_t>(end - begin, value));
}

// Inverts the bytes at `offsets` in place.
inline void flip_bytes(const std::filesystem::path& path, const std::vector<uint64_t>& offsets) {
    const base::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    for (uint64_t at : offsets) {
        uint8_t byte = 0;
        ASSERT_EQ(::pread(fd.get(), &byte, 1, static_cast<off_t>(at)), 1) << path << " at " << at;
        byte ^= 0xFF;
        ASSERT_EQ(::pwrite(fd.get(), &byte, 1, static_cast<off_t>(at)), 1) << path << " at " << at;
    }
}

inline void truncate_file(const std::filesystem::path& path, uint64_t length) {
    std::filesystem::resize_file(path, length);
}

// A store under construction: content files at their canonical paths, chain-tip markers and
// the aggregate.
class StoreBuilder {
  public:
    explicit StoreBuilder(std::filesystem::path root) : root_(std::move(root)) {
        std::filesystem::create_directories(format::roots_path(root_));
    }

    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path path_of(const FileId& id) const { return root_ / id.shard_path(); }

    // Writes the sound file with `header` at its canonical path.
    FileId add(const Header& header) {
        const auto bytes = file_bytes(header);
        const FileId id = id_of(bytes, header.version());
        write_file(path_of(id), bytes);
        return id;
    }

    // A chain of sound files of the given lengths, the first without parent; marks its tip.
    std::vector<FileId> add_chain(FormatVersion version, const std::vector<uint64_t>& lengths,
                                  uint8_t seed = 1) {
        std::vector<FileId> ids;
        FileId parent{};
        for (uint64_t length : lengths) {
            parent = add(make_header(version, length, parent, seed++));
            ids.push_back(parent);
        }
        mark_tip(parent);
        return ids;
    }

    void mark_tip(const FileId& id) { mark_tip_name(id.to_hex()); }
    void mark_tip_name(const std::string& name) { write_file(format::roots_path(root_) / name, ""); }

    // The aggregate over the markers present now.
    void write_aggregate() {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(format::roots_path(root_))) {
            names.push_back(entry.path().filename().native());
        }
        const std::string hex = format::encode_hex(format::chain_tip_aggregate_of(names));
        write_file(format::aggregate_path(root_), hex);
    }

  private:
    std::filesystem::path root_;
};

// The parsed header of a file.
inline Header header_of(const std::filesystem::path& path) {
    return Header::parse(read_file(path)).value();
}

inline std::string describe(const verify::CorruptRegion& region) {
    using P = verify::CorruptionPattern;
    const std::string where = fmt::format("@{}+{}", region.offset, region.length);
    const auto& v = region.pattern.value;
    if (std::holds_alternative<P::ZeroFilled>(v)) return "ZeroFilled" + where;
    if (const auto* p = std::get_if<P::RepeatedByte>(&v))
        return fmt::format("RepeatedByte({:02x}){}", p->byte, where);
    if (const auto* p = std::get_if<P::Sparse>(&v)) return fmt::format("Sparse({}){}", p->count, where);
    if (const auto* p = std::get_if<P::Aligned>(&v)) return fmt::format("Aligned({}){}", p->alignment, where);
    if (const auto* p = std::get_if<P::Random>(&v)) return fmt::format("Random({}){}", p->ratio, where);
    if (const auto* p = std::get_if<P::Truncated>(&v))
        return fmt::format("Truncated({}){}", p->missing, where);
    const auto& p = std::get<P::ExtraBytes>(v);
    return fmt::format("ExtraBytes({}){}", p.extra, where);
}

// One line per issue, with paths relative to `root`, so that expected reports read as tables.
inline std::string describe(const verify::Issue& issue, const std::filesystem::path& root) {
    using I = verify::Issue;
    const auto rel = [&](const std::filesystem::path& p) { return p.lexically_proximate(root).native(); };
    const auto& v = issue.value;
    if (const auto* i = std::get_if<I::InvalidPathLayout>(&v)) return "InvalidPathLayout " + rel(i->path);
    if (const auto* i = std::get_if<I::HeaderCorrupted>(&v)) {
        return fmt::format("HeaderCorrupted {}: {}", rel(i->path), i->error.message());
    }
    if (const auto* i = std::get_if<I::FileSizeMismatch>(&v)) {
        return fmt::format("FileSizeMismatch {} expected={} actual={}", rel(i->path), i->expected, i->actual);
    }
    if (const auto* i = std::get_if<I::ContentCorrupted>(&v)) {
        const verify::CorruptionReport& r = i->report;
        std::vector<std::string> regions;
        for (const auto& region : r.regions) regions.push_back(describe(region));
        return fmt::format("ContentCorrupted {} expected_len={} actual_len={} v3={} ids={} regions=[{}]",
                           rel(r.path), r.expected_len, r.actual_len, r.version == format::FormatVersion::V3,
                           r.expected_id == r.actual_id ? "same" : "differ", fmt::join(regions, " "));
    }
    if (const auto* i = std::get_if<I::ParentHashNotFound>(&v)) {
        return fmt::format("ParentHashNotFound {} parent={} at {}", rel(i->path), i->parent,
                           rel(i->parent_path));
    }
    if (const auto* i = std::get_if<I::ChainTipNotFound>(&v)) {
        return fmt::format("ChainTipNotFound {} {} {}", rel(i->marker_path), rel(i->data_path), i->id);
    }
    if (const auto* i = std::get_if<I::ChainFormatMismatch>(&v)) {
        return fmt::format("ChainFormatMismatch {} {} child of {} parent {} at {}", rel(i->path),
                           i->child_version, i->parent_version, i->parent, rel(i->parent_path));
    }
    if (const auto* i = std::get_if<I::FileNotReferenced>(&v)) return "FileNotReferenced " + rel(i->path);
    const auto& i = std::get<I::RootHashInvalid>(v);
    return fmt::format("RootHashInvalid {} contents={:?} digest={}", rel(i.path),
                       std::string(i.contents.begin(), i.contents.end()), format::encode_hex(i.digest));
}

inline std::vector<std::string> describe(const std::vector<verify::Issue>& issues,
                                         const std::filesystem::path& root) {
    std::vector<std::string> out;
    for (const auto& issue : issues) out.push_back(describe(issue, root));
    return out;
}

inline verify::VerifyOptions options_for(const std::filesystem::path& root, uint64_t chunk_size = 4096,
                                         uint64_t jobs = 1) {
    return verify::VerifyOptions{.root = root, .chunk_size = chunk_size, .jobs = jobs};
}

}  // namespace kro::verify_testing
