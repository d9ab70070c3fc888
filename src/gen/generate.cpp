#include "gen/generate.hpp"

#include <algorithm>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "base/errors/panic.hpp"
#include "base/fs/directory.hpp"
#include "base/fs/temp_file.hpp"
#include "base/os_random.hpp"
#include "base/saturating.hpp"
#include "format/file_id.hpp"
#include "format/header.hpp"
#include "format/store_path.hpp"
#include "gen/chain_tip.hpp"
#include "gen/parallel_write.hpp"
#include "gen/sequential_write.hpp"
#include "gen/shard_dirs.hpp"

namespace kro::gen {
namespace {

namespace fs = std::filesystem;
using format::FormatVersion;

constexpr uint64_t UNLIMITED = std::numeric_limits<uint64_t>::max();
constexpr size_t PARENT_PREFIX_DIGITS = 16;

constexpr std::string_view CREATING_ROOT = "creating the store root";
constexpr std::string_view CREATING_TEMP_FILE = "creating a temporary file";
constexpr std::string_view CREATING_SHARD_DIR = "creating the shard directory";
constexpr std::string_view PLACING = "placing the content file";

struct ProgressTotals {
    std::optional<uint64_t> bytes;
    std::optional<uint64_t> files;
};

// With a fixed size every file's size is known in advance, so both totals are; otherwise only
// the limits themselves are.
ProgressTotals progress_totals(const GenerateOptions& options) {
    const auto* fixed = std::get_if<SizeSpec::Fixed>(&options.sampler.spec().kind);
    if (fixed == nullptr) return {options.max_disk_usage, options.max_files};
    const uint64_t size = std::max(fixed->value, MIN_FILE_SIZE);
    std::optional<uint64_t> files;
    if (options.max_disk_usage) {
        const uint64_t d = *options.max_disk_usage;
        files = d == 0 ? 0 : d / size + (d % size != 0 ? 1 : 0);
        if (options.max_files) files = std::min(*files, *options.max_files);
    } else if (options.max_files) {
        files = options.max_files;
    } else {
        return {};
    }
    return {base::saturating_mul(*files, size), files};
}

// The parallel writer needs a writer; `jobs` has no least value, since 0 and 1 both mean
// sequential writing.
std::optional<GenerateError::InvalidOptions> options_below_minimum(const GenerateOptions& options) {
    if (auto bound = store::below_minimum("writers", options.writers, 1))
        return GenerateError::InvalidOptions{*bound};
    return std::nullopt;
}

struct PlacedFile {
    format::FileId id;
    uint64_t size;
};

class Run {
  public:
    Run(GenerateOptions& options, const base::Directory& root, store::ProgressTracker& tracker)
        : options_(options),
          root_(root),
          tracker_(tracker),
          sequential_(tracker),
          parallel_(options.jobs, options.writers, options.hooks),
          shards_(root) {}

    // Draws, writes and places the file with this index.
    std::expected<PlacedFile, GenerateError> place_file(uint64_t index, const format::FileId& parent) {
        auto size = sample_file_size(options_.sampler);
        if (!size)
            return std::unexpected(GenerateError(GenerateError::SizeSelection{std::move(size.error())}));
        const uint64_t file_length = std::max(*size, MIN_FILE_SIZE);

        auto seed = content_seed(index);
        if (!seed) return std::unexpected(std::move(seed.error()));
        const auto header = format::Header::make(parent, *seed, file_length, options_.version);
        if (!header) base::panic("file size is clamped to the header minimum");

        // In the store root, named after the parent, on record for a run stopped by a signal.
        auto temp = io_step(CREATING_TEMP_FILE, root_.path(), [&] {
            return base::create_unique_temp_file(root_, parent.to_hex().substr(0, PARENT_PREFIX_DIGITS),
                                                 options_.hooks, options_.temp_files.get());
        });
        if (!temp) return std::unexpected(std::move(temp.error()));

        auto id = io_step(WRITING_CONTENT, temp->path(), [&] { return write_content(*temp, *header); });
        if (!id) return std::unexpected(std::move(id.error()));
        // A write that some network file systems lost is reported by close alone.
        auto closed = io_step(WRITING_CONTENT, temp->path(), [&] { return temp->close(options_.hooks); });
        if (!closed) return std::unexpected(std::move(closed.error()));

        const fs::path final_path = format::store_path_of(root_.path(), *id);
        const fs::path shard = final_path.parent_path();
        if (shard.empty() || shard == final_path) base::panic("hash paths always have shard directories");
        auto dir = io_step(CREATING_SHARD_DIR, shard, [&] { return shards_.enter(*id); });
        if (!dir) return std::unexpected(std::move(dir.error()));
        const std::string name = final_path.filename().native();
        if (auto placed = std::move(*temp).persist_at(dir->get(), name.c_str()); !placed) {
            return std::unexpected(GenerateError::io(PLACING, final_path, placed.error()));
        }
        return PlacedFile{*id, file_length};
    }

  private:
    std::expected<format::ContentSeed, GenerateError> content_seed(uint64_t index) const {
        if (options_.master_seed) return derive_content_seed(*options_.master_seed, index);
        format::ContentSeed seed;
        if (auto filled = base::fill_os_random(seed.bytes); !filled) {
            return std::unexpected(GenerateError(GenerateError::Randomness{filled.error()}));
        }
        return seed;
    }

    // Every job gets at least two blocks, or the file is written on this thread.
    std::expected<format::FileId, GenerateError> write_content(const base::TempFile& temp,
                                                               const format::Header& header) {
        const uint64_t blocks = format::v3_leaf_count(header.file_length());
        if (options_.jobs >= 2 && blocks >= 2 * uint64_t{options_.jobs}) {
            return parallel_.write(temp, header, tracker_);
        }
        return sequential_.write(temp, header);
    }

    GenerateOptions& options_;
    const base::Directory& root_;
    store::ProgressTracker& tracker_;
    SequentialWriter sequential_;
    ParallelContentWriter parallel_;
    ShardDirs shards_;  // created or checked once each per run
};

}  // namespace

std::expected<GenerateSummary, GenerateError> generate(GenerateOptions options) {
    if (options.version == FormatVersion::V2 && options.master_seed) {
        return std::unexpected(GenerateError(GenerateError::UnsupportedSeedFormat{}));
    }
    if (auto bound = options_below_minimum(options)) return std::unexpected(GenerateError(std::move(*bound)));
    auto root =
        io_step(CREATING_ROOT, options.root, [&] { return base::Directory::create_root(options.root); });
    if (!root) return std::unexpected(std::move(root.error()));
    // A store whose records this run could not write is refused before its first file.
    if (auto ready = ChainTipRecords::check(*root); !ready) return std::unexpected(std::move(ready.error()));
    const ProgressTotals totals = progress_totals(options);
    store::ProgressTracker tracker(totals.bytes, totals.files, options.observer);
    tracker.notify();

    const uint64_t file_limit = options.max_files.value_or(UNLIMITED);
    const uint64_t disk_limit = options.max_disk_usage.value_or(UNLIMITED);
    format::FileId parent;
    uint64_t index = 0;
    uint64_t bytes_written = 0;
    if (file_limit > 0 && disk_limit > 0) {
        Run run(options, *root, tracker);
        do {
            auto placed = run.place_file(index, parent);
            if (!placed) return std::unexpected(std::move(placed.error()));
            bytes_written = base::saturating_add(bytes_written, placed->size);
            parent = placed->id;
            tracker.add_file();
            ++index;
        } while (index < file_limit && bytes_written < disk_limit);
    }

    auto records = ChainTipRecords::enter(*root);
    if (!records) return std::unexpected(std::move(records.error()));
    // Another run into this store may be between its marker and its aggregate: its listing would
    // miss this marker, and its aggregate could be the one that stays.
    const auto turn = records->lock();
    if (!turn) return std::unexpected(std::move(turn.error()));
    if (auto recorded = records->record(parent); !recorded)
        return std::unexpected(std::move(recorded.error()));
    auto aggregate = records->write_aggregate(options.temp_files.get(), options.hooks);
    if (!aggregate) return std::unexpected(std::move(aggregate.error()));
    return GenerateSummary{index, bytes_written, parent, *aggregate, options.version};
}

}  // namespace kro::gen
