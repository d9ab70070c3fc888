#include "verify/verify_file.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "base/fs/file_io.hpp"
#include "base/fs/regular_file.hpp"
#include "format/store_path.hpp"
#include "verify/corruption_analysis.hpp"
#include "verify/data_file_reader.hpp"
#include "verify/lanes.hpp"
#include "verify/v2_check.hpp"
#include "verify/v3_check.hpp"

namespace kro::verify {

using format::FileId;
using format::Header;
using format::HEADER_LEN;

namespace {

constexpr const char* OPENING = "opening a data file";
constexpr const char* READING_METADATA = "reading data-file metadata";
constexpr const char* READING_HEADER = "reading a data-file header";
constexpr const char* ANALYZING = "analyzing a corrupted file";

// Path components as they compare: repeated and trailing separators make no component, and "."
// counts only as the first one.
std::vector<std::string> components(const std::filesystem::path& path) {
    std::vector<std::string> out;
    for (const auto& part : path) {
        const std::string& text = part.native();
        if (text.empty() || (text == "." && !out.empty())) continue;
        out.push_back(text);
    }
    return out;
}

// Counts a file that is not opened: its size, when its metadata can be read, and the file.
void count_unopened_file(const std::filesystem::path& path, store::ProgressTracker& tracker) {
    if (const uint64_t size = base::size_or_zero(path.c_str()); size > 0) tracker.add_bytes(size);
    tracker.add_file();
}

struct ComputedId {
    FileId id;
    bool content_ok;
};

std::expected<ComputedId, base::IoError> compute_id(const DataFileReader& file) {
    if (file.header().version() == format::FormatVersion::V3) {
        auto checked = verify_v3_file(file);
        if (!checked) return std::unexpected(std::move(checked.error()));
        return ComputedId{checked->id, checked->content_ok};
    }
    auto id = hash_v2_file(file);
    if (!id) return std::unexpected(std::move(id.error()));
    return ComputedId{*id, true};
}

}  // namespace

bool is_canonical_path(const std::filesystem::path& root, const std::filesystem::path& path,
                       const FileId& id) {
    const std::vector<std::string> prefix = components(root);
    const std::vector<std::string> whole = components(path);
    const std::vector<std::string> shard = components(id.shard_path());
    if (whole.size() != prefix.size() + shard.size()) return false;
    return std::equal(prefix.begin(), prefix.end(), whole.begin()) &&
           std::equal(shard.begin(), shard.end(), whole.begin() + static_cast<ptrdiff_t>(prefix.size()));
}

std::expected<FileReport, VerifyError> verify_file(const VerifyRun& run, const std::filesystem::path& path,
                                                   uint64_t lanes, WorkerScratch& scratch) try {
    FileReport report;
    auto parsed = format::parse_content_path(path);
    if (!parsed) {
        if (run.options.progress) count_unopened_file(path, run.tracker);
        report.issues.emplace_back(Issue::InvalidPathLayout{path});
        return report;
    }
    const FileId expected_id = *parsed;
    report.file_id = expected_id;
    report.at_canonical_path = is_canonical_path(run.options.root, path, expected_id);

    // Only a regular file is opened and read: a fifo, socket or device holds no stored bytes, and
    // opening one can act by itself. Such a file reads as empty.
    auto opened = base::open_regular_for_reading(path.c_str());
    if (!opened) {
        const char* action = opened.error().step == base::OpenStep::Opening ? OPENING : READING_METADATA;
        return std::unexpected(VerifyError::io(action, path, std::move(opened.error().error)));
    }
    const auto actual_len = static_cast<uint64_t>(opened->metadata.st_size);
    DataFileReader file(run, *opened, file_lane_count(actual_len, lanes), scratch);

    auto header_read = file.read_header();
    if (!header_read)
        return std::unexpected(VerifyError::io(READING_HEADER, path, std::move(header_read.error())));
    auto header = Header::parse(*header_read);
    if (!header) {
        report.issues.emplace_back(Issue::HeaderCorrupted{path, std::move(header.error())});
        file.progress().finish();
        return report;
    }
    file.accept_header(*header);

    const uint64_t declared_len = header->file_length();
    if (actual_len != declared_len) {
        report.issues.emplace_back(Issue::FileSizeMismatch{path, declared_len, actual_len});
    }
    auto computed = compute_id(file);
    if (!computed)
        return std::unexpected(VerifyError::io(READING_A_DATA_FILE, path, std::move(computed.error())));

    if (computed->id != expected_id || !computed->content_ok) {
        auto regions = analyze_corruption(file);
        if (!regions) return std::unexpected(VerifyError::io(ANALYZING, path, std::move(regions.error())));
        report.issues.emplace_back(Issue::ContentCorrupted{CorruptionReport{
            path,
            std::move(*regions),
            actual_len,
            declared_len,
            header->seed(),
            expected_id,
            computed->id,
            header->version(),
        }});
    }

    if (!header->parent().is_zero()) report.parent = header->parent();
    report.version = header->version();
    file.progress().finish();
    return report;
} catch (const std::bad_alloc&) {
    // The analysis and the large buffers report their own; what is left are the small allocations
    // around reading the file, also those of its hashing threads.
    return std::unexpected(VerifyError::io(READING_A_DATA_FILE, path, base::IoError::out_of_memory()));
}

}  // namespace kro::verify
