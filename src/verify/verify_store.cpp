#include "verify/verify_store.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/fd.hpp"
#include "base/fs/dir_entries.hpp"
#include "base/fs/file_io.hpp"
#include "base/fs/page_cache.hpp"
#include "base/fs/regular_file.hpp"
#include "base/path_display.hpp"
#include "base/saturating.hpp"
#include "format/file_id.hpp"
#include "format/hex.hpp"
#include "format/store_layout.hpp"
#include "format/store_path.hpp"
#include "store/progress.hpp"
#include "verify/analysis/memory_budget.hpp"
#include "verify/schedule.hpp"
#include "verify/verify_run.hpp"

namespace kro::verify {

using format::FileId;

namespace {

constexpr const char* READING_TIP_DIR = "reading the chain-tip directory";
constexpr const char* LISTING_TIPS = "listing the chain-tip markers";
constexpr const char* LISTING_DIR = "listing a store directory";
constexpr const char* READING_AGGREGATE = "reading the chain-tip aggregate";
// Memory that runs out anywhere else in a run: the walk, the scheduling of files, the chain checks.
constexpr const char* VERIFYING_STORE = "verifying the store";

// The store test: root/.metadata/roots must be a directory (links followed).
std::expected<void, VerifyError> check_is_store(const VerifyOptions& options,
                                                const std::filesystem::path& tip_dir) {
    struct stat st {};
    if (::stat(tip_dir.c_str(), &st) != 0) {
        const int code = errno;
        if (code == ENOENT || code == ENOTDIR) {
            return std::unexpected(VerifyError(VerifyErrorKind::NotAStore{options.root}));
        }
        return std::unexpected(VerifyError::io(READING_TIP_DIR, tip_dir, base::IoError::from_errno(code)));
    }
    if (!S_ISDIR(st.st_mode)) return std::unexpected(VerifyError(VerifyErrorKind::NotAStore{options.root}));
    return {};
}

std::expected<std::vector<std::string>, VerifyError> list_chain_tip_names(
    const std::filesystem::path& tip_dir) {
    auto entries = base::read_dir_entries(tip_dir);
    if (!entries) return std::unexpected(VerifyError::io(LISTING_TIPS, tip_dir, std::move(entries.error())));
    std::vector<std::string> names;
    names.reserve(entries->size());
    for (base::DirEntry& entry : *entries) names.push_back(base::owned_file_name(std::move(entry.path)));
    return names;
}

// A valid aggregate is 40 bytes; one more shows that a file is longer. Nothing past that is read,
// so that an aggregate of any size costs the same.
constexpr size_t AGGREGATE_READ_LIMIT = 41;

// Reads the start of the aggregate file, at most AGGREGATE_READ_LIMIT bytes, from the storage.
// Only a regular file is read: anything else there reads as empty, but a directory fails as
// reading it would.
std::expected<std::vector<uint8_t>, base::IoError> read_aggregate(const std::filesystem::path& path,
                                                                  const base::Hooks* hooks) {
    auto file = base::open_regular_for_reading(path.c_str());
    if (!file) return std::unexpected(std::move(file.error().error));
    if (S_ISDIR(file->metadata.st_mode)) return std::unexpected(base::IoError::from_errno(EISDIR));
    std::vector<uint8_t> contents;
    if (!file->is_regular()) return contents;
    const base::StorageReading storage(file->fd.get(), hooks);
    contents.resize(AGGREGATE_READ_LIMIT);
    auto got = base::read_at_full(file->fd.get(), contents, 0, hooks);
    if (!got) return std::unexpected(std::move(got.error()));
    contents.resize(*got);
    return contents;
}

// The chain-tip aggregate check: the aggregate must be exactly the 40 hex digits of BLAKE2b-160 over all
// marker names in byte-wise order, with nothing trimmed.
std::expected<std::optional<Issue>, VerifyError> check_aggregate(const std::filesystem::path& root,
                                                                 std::vector<std::string> names,
                                                                 const base::Hooks* hooks) {
    const format::AggregateDigest digest = format::chain_tip_aggregate_of(names);
    const std::filesystem::path path = format::aggregate_path(root);
    auto contents = read_aggregate(path, hooks);
    if (!contents)
        return std::unexpected(VerifyError::io(READING_AGGREGATE, path, std::move(contents.error())));
    const std::string expected = format::encode_hex(digest);
    if (std::string_view(reinterpret_cast<const char*>(contents->data()), contents->size()) == expected) {
        return std::nullopt;
    }
    return Issue{Issue::RootHashInvalid{path, std::move(*contents), digest}};
}

// Adds to `tips` the ID of every name made of exactly 40 lower-case hex digits.
void collect_chain_tips(const std::vector<std::string>& names, std::unordered_set<FileId>& tips) {
    for (const std::string& name : names) {
        if (!base::is_valid_utf8(name)) continue;
        auto id = format::decode_hex_20(name);
        if (id && id->to_hex() == name) tips.insert(*id);
    }
}

}  // namespace

namespace {

constexpr int LIST_FLAGS = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// The walk of a store's tree. Each directory is entered through its parent's descriptor without
// following a link, so a directory swapped for a link while the walk runs cannot take it out of
// the store, and no path the walk builds is resolved again, however long it grows. A directory
// stays open while directories it holds are still to be listed; the last directory found is
// listed first, as with one stack of paths.
class StoreWalk {
  public:
    std::expected<FileList, VerifyError> run(const std::filesystem::path& root) {
        // The root is the user's to name: a link there is followed. An empty root is the working
        // directory; the paths built from it are then the bare names.
        const char* opened = root.empty() ? "." : root.c_str();
        if (auto listed = list(base::UniqueFd(::open(opened, LIST_FLAGS)), root, 0); !listed)
            return std::unexpected(std::move(listed.error()));
        while (!frames_.empty()) {
            Frame& top = frames_.back();
            if (top.pending.empty()) {
                frames_.pop_back();
                continue;
            }
            const std::filesystem::path dir = std::move(top.pending.back());
            top.pending.pop_back();
            base::UniqueFd fd(::openat(top.fd.get(), dir.filename().c_str(), LIST_FLAGS | O_NOFOLLOW));
            if (auto listed = list(std::move(fd), dir, top.depth + 1); !listed)
                return std::unexpected(std::move(listed.error()));
        }
        files_.sort();
        return std::move(files_);
    }

  private:
    struct Frame {
        base::UniqueFd fd;
        uint64_t depth;
        std::vector<std::filesystem::path> pending;  // directories found here, not yet listed
    };

    // Lists the directory just opened at `fd` (at `depth`), keeping its files and the directories
    // to list after it.
    std::expected<void, VerifyError> list(base::UniqueFd fd, const std::filesystem::path& dir,
                                          uint64_t depth) {
        if (!fd.valid()) {
            return std::unexpected(VerifyError::io(LISTING_DIR, dir, base::IoError::last_os_error()));
        }
        auto entries = base::read_open_dir_entries(fd.get(), dir);
        if (!entries) return std::unexpected(VerifyError::io(LISTING_DIR, dir, std::move(entries.error())));
        Frame frame{std::move(fd), depth, {}};
        for (base::DirEntry& entry : *entries) {
            switch (entry.kind) {
                case base::EntryKind::Directory:
                    if (depth == 0 && entry.path.filename().native() == format::METADATA_DIR) break;
                    if (depth >= MAX_STORE_DEPTH) {
                        return std::unexpected(VerifyError(VerifyErrorKind::ExcessiveNesting{entry.path}));
                    }
                    frame.pending.push_back(std::move(entry.path));
                    break;
                case base::EntryKind::Symlink:
                    // A link to a directory is never followed; any other link is handed on as a
                    // file, also one that cannot be resolved.
                    if (!links_to_directory(frame.fd.get(), entry.path)) files_.push_back(entry.path);
                    break;
                case base::EntryKind::Other:
                    files_.push_back(entry.path);
                    break;
            }
        }
        frames_.push_back(std::move(frame));
        return {};
    }

    static bool links_to_directory(int dir_fd, const std::filesystem::path& link) {
        struct stat st {};
        return ::fstatat(dir_fd, link.filename().c_str(), &st, 0) == 0 && S_ISDIR(st.st_mode);
    }

    FileList files_;
    std::vector<Frame> frames_;
};

}  // namespace

std::expected<FileList, VerifyError> walk_store(const std::filesystem::path& root) {
    return StoreWalk().run(root);
}

namespace {

// The version of every report that has a file ID and sits at its canonical path.
VersionMap index_canonical_versions(const std::vector<FileReport>& reports) {
    VersionMap versions;
    versions.reserve(reports.size());
    for (const FileReport& report : reports) {
        if (report.file_id && report.at_canonical_path) versions[*report.file_id] = report.version;
    }
    return versions;
}

// The ParentHashNotFound or ChainFormatMismatch issue of the file at `path` with this report, if
// any.
std::optional<Issue> parent_link_issue(const FileReport& report, std::string_view path,
                                       const VersionMap& versions, const std::filesystem::path& root) {
    if (!report.parent) return std::nullopt;
    const FileId& parent = *report.parent;
    const auto found = versions.find(parent);
    if (found == versions.end()) {
        return Issue::ParentHashNotFound{std::filesystem::path(path), format::store_path_of(root, parent),
                                         parent};
    }
    if (report.version && found->second && *report.version != *found->second) {
        return Issue::ChainFormatMismatch{std::filesystem::path(path), format::store_path_of(root, parent),
                                          parent, *report.version, *found->second};
    }
    return std::nullopt;
}

}  // namespace

std::expected<VerifyReport, VerifyError> verify_store(const VerifyOptions& options) try {
    // Chunks of 0 bytes would divide by zero in the first analysis, a budget of 0 start nobody.
    for (auto bound : {store::below_minimum("chunk_size", options.chunk_size, 1),
                       store::below_minimum("jobs", options.jobs, 1)}) {
        if (bound) return std::unexpected(VerifyError(VerifyErrorKind::InvalidOptions{*bound}));
    }
    const std::filesystem::path& root = options.root;
    const std::filesystem::path tip_dir = format::roots_path(root);
    if (auto is_store = check_is_store(options, tip_dir); !is_store)
        return std::unexpected(std::move(is_store.error()));

    auto tip_names = list_chain_tip_names(tip_dir);
    if (!tip_names) return std::unexpected(std::move(tip_names.error()));
    std::unordered_set<FileId> chain_tips;
    collect_chain_tips(*tip_names, chain_tips);

    auto files = walk_store(root);
    if (!files) return std::unexpected(std::move(files.error()));
    const uint64_t file_count = files->size();

    // Sizes are read only for an observer, which is the only reader of the bytes total.
    std::optional<uint64_t> bytes_total;
    if (options.progress) {
        uint64_t sum = 0;
        for (size_t i = 0; i < files->size(); ++i)
            sum = base::saturating_add(sum, base::size_or_zero(files->c_str(i)));
        bytes_total = sum;
    }
    store::ProgressTracker tracker(bytes_total, file_count, options.progress);
    tracker.notify();

    MemoryBudget memory(ANALYSIS_MEMORY_LIMIT);
    const VerifyRun run(options, memory, tracker);
    ReportCollector collector;
    collector.reserve(files->size());
    if (auto verified = verify_files(run, *files, collector); !verified) {
        return std::unexpected(std::move(verified.error()));
    }

    const VersionMap versions = index_canonical_versions(collector.reports);

    // Report i is that of file i: the paths come from the file list, and only for an issue.
    VerifyReport result;
    result.files_checked = file_count;
    for (size_t i = 0; i < collector.reports.size(); ++i) {
        FileReport& report = collector.reports[i];
        for (Issue& issue : report.issues) result.issues.push_back(std::move(issue));
        if (auto link = parent_link_issue(report, files->native(i), versions, root))
            result.issues.push_back(std::move(*link));
    }
    for (size_t i = 0; i < collector.reports.size(); ++i) {
        const FileReport& report = collector.reports[i];
        const bool referenced = report.file_id && (collector.referenced_parents.contains(*report.file_id) ||
                                                   chain_tips.contains(*report.file_id));
        if (!referenced) result.issues.emplace_back(Issue::FileNotReferenced{files->path(i)});
    }
    std::vector<FileId> missing_tips;
    for (const FileId& id : chain_tips) {
        if (is_missing_tip(versions, id)) missing_tips.push_back(id);
    }
    std::sort(missing_tips.begin(), missing_tips.end());
    for (const FileId& id : missing_tips) {
        result.issues.emplace_back(
            Issue::ChainTipNotFound{tip_dir / id.to_hex(), format::store_path_of(root, id), id});
    }
    auto aggregate = check_aggregate(root, std::move(*tip_names), options.hooks);
    if (!aggregate) return std::unexpected(std::move(aggregate.error()));
    if (*aggregate) result.issues.push_back(std::move(**aggregate));
    return result;
} catch (const std::bad_alloc&) {
    return std::unexpected(VerifyError::io(VERIFYING_STORE, options.root, base::IoError::out_of_memory()));
}

}  // namespace kro::verify
