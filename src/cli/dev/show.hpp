#pragma once
// The pure half of `kro dev show`: from what was read about one content file, the listing of
// its header field by field, the store path of its parent and the identity block with its
// verdict. Nothing here touches the file system or the terminal; the command gathers the
// values and prints the text.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>

#include "format/file_id.hpp"
#include "format/header.hpp"

namespace kro::cli {

// Everything the listing shows, gathered before its first line is printed.
struct ShowFacts {
    std::filesystem::path path;             // as the user typed it
    std::optional<format::FileId> path_id;  // present when the path is a content path
    format::RawHeader raw;
    uint64_t actual_size = 0;
};

// The store root of `path`: the path made absolute against `cwd` (absent when the current
// directory could not be read), with "." components and repeated separators removed but ".."
// and links kept as written, then four levels up (the file name and the three shard
// directories). Absent when fewer than four levels lie above the path.
std::optional<std::filesystem::path> store_root_of(const std::filesystem::path& path,
                                                   const std::optional<std::filesystem::path>& cwd);

// Where the file's parent lives in the same store: present for a content path whose header
// names a parent, when its store root can be found.
std::optional<std::filesystem::path> parent_store_path(const ShowFacts& facts,
                                                       const std::optional<std::filesystem::path>& cwd);

// The listing, from "File:" through the "Parent path:" block (printed only when `parent_path`
// is present). Every line ends with a newline.
std::string render_listing(const ShowFacts& facts, const std::optional<std::filesystem::path>& parent_path,
                           bool color);

// The identity block of a header whose format is unknown: there is no actual ID to compare.
std::string render_unknown_identity(const ShowFacts& facts, bool color);

// The identity block of a v2 or v3 file whose ID over the bytes actually read is `actual`.
std::string render_identity(const ShowFacts& facts, format::FormatVersion version,
                            const format::FileId& actual, bool color);

// 0 when the path names the computed ID and the header is whole and sound, else 1.
uint8_t identity_verdict(const ShowFacts& facts, const format::FileId& actual);

}  // namespace kro::cli
