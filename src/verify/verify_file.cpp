#include "verify/verify_file.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "base/fs/file_io.hpp"
#include "base/fs/page_cache.hpp"
#include "base/fs/regular_file.hpp"
#include "format/store_path.hpp"
#include "verify/analysis/analysis.hpp"
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

std::expected<ComputedId, base::IoError> compute_id(int fd, const Header& header,
                                                    std::span<const uint8_t> header_bytes,
                                                    uint64_t actual_len, uint64_t lanes,
                                                    WorkerScratch& scratch, store::FileProgress& progress,
                                                    const base::Hooks* hooks) {
    if (header.version() == format::FormatVersion::V3) {
        auto checked = verify_v3_file(fd, header, actual_len, lanes, scratch, &progress, hooks);
        if (!checked) return std::unexpected(std::move(checked.error()));
        return ComputedId{checked->id, checked->content_ok};
    }
    auto id = hash_v2_file(fd, header_bytes, actual_len, lanes, scratch, progress, hooks);
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
    auto file = base::open_regular_for_reading(path.c_str());
    if (!file) {
        const char* action = file.error().step == base::OpenStep::Opening ? OPENING : READING_METADATA;
        return std::unexpected(VerifyError::io(action, path, std::move(file.error().error)));
    }
    const int fd = file->fd.get();
    const base::StorageReading storage(
        fd, fd >= 0 && scratch.storage_check.memory_is_storage(fd, file->metadata.st_dev));
    const auto actual_len = static_cast<uint64_t>(file->metadata.st_size);
    store::FileProgress progress(run.tracker, actual_len);

    std::array<uint8_t, HEADER_LEN> header_bytes{};
    size_t header_len = 0;
    if (file->is_regular()) {
        auto got = base::read_at_full(fd, header_bytes, 0, run.hooks);
        if (!got) return std::unexpected(VerifyError::io(READING_HEADER, path, std::move(got.error())));
        header_len = *got;
        // A header cut short of what the metadata promised is no finding about the stored bytes.
        if (header_len < std::min<uint64_t>(HEADER_LEN, actual_len)) {
            return std::unexpected(VerifyError::io(READING_HEADER, path, changed_while_read("file")));
        }
        if (header_len > 0) progress.advance(header_len);
    }
    const auto header_read = std::span<const uint8_t>(header_bytes).first(header_len);
    auto header = Header::parse(header_read);
    if (!header) {
        report.issues.emplace_back(Issue::HeaderCorrupted{path, std::move(header.error())});
        progress.finish();
        return report;
    }

    const uint64_t declared_len = header->file_length();
    if (actual_len != declared_len) {
        report.issues.emplace_back(Issue::FileSizeMismatch{path, declared_len, actual_len});
    }
    const uint64_t used_lanes = file_lane_count(actual_len, lanes);
    auto computed =
        compute_id(fd, *header, header_read, actual_len, used_lanes, scratch, progress, run.hooks);
    if (!computed)
        return std::unexpected(VerifyError::io(READING_A_DATA_FILE, path, std::move(computed.error())));

    if (computed->id != expected_id || !computed->content_ok) {
        auto regions = analyze_corruption(fd, *header, actual_len, run.options.chunk_size, used_lanes,
                                          run.memory, run.hooks);
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
    progress.finish();
    return report;
} catch (const std::bad_alloc&) {
    // The analysis and the large buffers report their own; what is left are the small allocations
    // around reading the file, also those of its hashing threads.
    return std::unexpected(VerifyError::io(READING_A_DATA_FILE, path, base::IoError::out_of_memory()));
}

}  // namespace kro::verify
