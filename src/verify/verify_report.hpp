#pragma once
// The values that flow out of store verification: the result of a run, the result of one file,
// the findings (Issue) with their class, the payload of a content finding (CorruptionReport), and
// the collector that the store scan fills in file order. Findings about a store are data: every
// damaged or misplaced file yields Issues and the run goes on. Plain values; nothing here is
// shared between threads.

#include <fmt/format.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <variant>
#include <vector>

#include "format/file_id.hpp"
#include "format/header.hpp"
#include "verify/analysis/corrupt_region.hpp"
#include "verify/analysis/region_list.hpp"

namespace kro::verify {

// The analysis of one damaged file.
struct CorruptionReport {
    std::filesystem::path path;
    RegionList regions;     // merged, in ascending file order
    uint64_t actual_len;    // from the metadata of the open file
    uint64_t expected_len;  // the header's declared file_length
    format::ContentSeed seed;
    format::FileId expected_id;     // the ID the path encodes
    format::FileId actual_id;       // the ID computed from the file's bytes
    format::FormatVersion version;  // the header's format version

    // The sum of the region lengths (wrapping).
    uint64_t corrupted_bytes() const;
    // corrupted_bytes as a percentage of the larger length; 0.0 when both are 0.
    double percent_corrupted() const;
    // No damaged byte and equal lengths: sound content stored under another file's name.
    bool is_intact() const;
};

enum class IssueClass : uint8_t { Error = 0, Corruption = 1, Orphan = 2 };

// "ERROR", "CORRUPTION" or "ORPHAN".
std::string_view to_string(IssueClass issue_class);

// One finding of verification. The variant index is the finding's index (0 InvalidPathLayout ...
// 8 RootHashInvalid).
struct Issue {
    struct InvalidPathLayout {
        std::filesystem::path path;
    };
    struct HeaderCorrupted {
        std::filesystem::path path;
        format::HeaderError error;
    };
    struct FileSizeMismatch {
        std::filesystem::path path;
        uint64_t expected;  // the declared file_length
        uint64_t actual;    // the length of the open file from its metadata
    };
    struct ContentCorrupted {
        CorruptionReport report;
    };
    struct ParentHashNotFound {
        std::filesystem::path path;         // the child
        std::filesystem::path parent_path;  // where the parent should be
        format::FileId parent;
    };
    struct ChainTipNotFound {
        std::filesystem::path marker_path;
        std::filesystem::path data_path;
        format::FileId id;
    };
    struct ChainFormatMismatch {
        std::filesystem::path path;
        std::filesystem::path parent_path;
        format::FileId parent;
        format::FormatVersion child_version;
        format::FormatVersion parent_version;
    };
    struct FileNotReferenced {
        std::filesystem::path path;
    };
    struct RootHashInvalid {
        std::filesystem::path path;      // root/.metadata/all
        std::vector<uint8_t> contents;   // the bytes read from it
        std::array<uint8_t, 20> digest;  // recomputed from the marker names
    };
    using Value = std::variant<InvalidPathLayout, HeaderCorrupted, FileSizeMismatch, ContentCorrupted,
                               ParentHashNotFound, ChainTipNotFound, ChainFormatMismatch, FileNotReferenced,
                               RootHashInvalid>;

    Value value;

    template <typename V>
    requires std::is_constructible_v<Value, V> Issue(V issue) : value(std::move(issue)) {}

    size_t index() const { return value.index(); }
    IssueClass issue_class() const;
    template <typename V>
    const V* get_if() const {
        return std::get_if<V>(&value);
    }
};

// The result of verifying one file. Its path is not repeated here: the run's file list holds it,
// and the reports stand in the same order. A sound file's report owns no memory of its own.
struct FileReport {
    std::optional<format::FileId> file_id;  // the ID the path encodes, if it is a content path
    bool at_canonical_path = false;         // the path is root joined with the shard path of file_id
    std::optional<format::FileId> parent;   // the header's parent; none for a root file or a bad header
    std::optional<format::FormatVersion> version;  // none for a non-content path or a bad header
    std::vector<Issue> issues;                     // in the order found
};

// The reports of a run in file order, and every parent ID that a header names.
struct ReportCollector {
    std::vector<FileReport> reports;
    std::unordered_set<format::FileId> referenced_parents;

    // Room for the reports of `files` files and as many parents, so that neither grows by
    // reallocation while the run is at its largest.
    void reserve(size_t files);
    void push(FileReport report);
};

// The result of a successful run.
struct VerifyReport {
    std::vector<Issue> issues;  // in report order
    uint64_t files_checked = 0;
};

// FileId to the version of every file at its canonical path (none when its header is bad).
using VersionMap = std::unordered_map<format::FileId, std::optional<format::FormatVersion>>;

// True when `id` is not all zero and no file at its canonical path has it.
bool is_missing_tip(const VersionMap& versions, const format::FileId& id);

}  // namespace kro::verify

template <>
struct fmt::formatter<kro::verify::IssueClass> : kro::format::detail::AsIsFormatter {
    auto format(kro::verify::IssueClass issue_class, fmt::format_context& ctx) const {
        const std::string_view text = kro::verify::to_string(issue_class);
        return std::copy(text.begin(), text.end(), ctx.out());
    }
};
