#pragma once
// A data file opened for the checks as verify_file opens it: the descriptor and metadata, a run
// around it and the file's reader, with its header read and accepted. A test sets what it needs
// of the run (lanes, hooks, chunk size, memory budget, progress) and may make the metadata claim
// another length, as it does when the file changes after it was opened.

#include <fcntl.h>

#include <cstdint>
#include <filesystem>
#include <optional>

#include "base/fs/regular_file.hpp"
#include "base/hooks.hpp"
#include "format/header.hpp"
#include "store/progress.hpp"
#include "verify/analysis/memory_budget.hpp"
#include "verify/data_file_reader.hpp"
#include "verify/verify_options.hpp"
#include "verify/verify_run.hpp"
#include "verify/worker_scratch.hpp"

namespace kro::verify_testing {

struct CheckSettings {
    uint64_t lanes = 1;
    const base::Hooks* hooks = nullptr;
    uint64_t chunk_size = 4096;
    std::optional<uint64_t> length{};           // the length the metadata claims; none: the file's
    verify::MemoryBudget* budget = nullptr;     // none: a budget of the file's own
    store::ProgressTracker* tracker = nullptr;  // none: one without an observer
    int open_flags = O_RDONLY;                  // O_WRONLY makes every read fail
};

class CheckedFile {
  public:
    // `header` stands for the one the file's bytes parse to.
    CheckedFile(const std::filesystem::path& path, const format::Header& header, CheckSettings settings = {})
        : options_{.root = path.parent_path(), .chunk_size = settings.chunk_size, .hooks = settings.hooks},
          run_(options_, settings.budget != nullptr ? *settings.budget : budget_,
               settings.tracker != nullptr ? *settings.tracker : tracker_) {
        file_.fd = base::UniqueFd(::open(path.c_str(), settings.open_flags | O_CLOEXEC));
        if (::stat(path.c_str(), &file_.metadata) != 0) throw std::runtime_error("stat failed");
        if (settings.length) file_.metadata.st_size = static_cast<off_t>(*settings.length);
        reader_.emplace(run_, file_, settings.lanes, scratch_);
        (void)reader_->read_header();
        reader_->accept_header(header);
    }
    CheckedFile(const CheckedFile&) = delete;
    CheckedFile& operator=(const CheckedFile&) = delete;

    const verify::DataFileReader& reader() const { return *reader_; }
    verify::WorkerScratch& scratch() { return scratch_; }

  private:
    verify::VerifyOptions options_;
    verify::MemoryBudget budget_;
    store::ProgressTracker tracker_{std::nullopt, std::nullopt, nullptr};
    verify::VerifyRun run_;
    base::FileForReading file_;
    verify::WorkerScratch scratch_;
    std::optional<verify::DataFileReader> reader_;
};

}  // namespace kro::verify_testing
