#pragma once
// Verification of the files of a store under a worker budget J >= 2. The file list is cut into a
// head group, whose files go to J workers one file each (one lane per file) and are pushed in
// file order, and a tail group of at most J - 1 files that run at the same time and share the J
// workers as lanes, largest file started first. The outcome equals that of one worker: every
// report in file order, or the fatal error of the lowest-indexed failing file. A fault of a worker
// is raised again on the calling thread once every thread of its group has ended, and wins over
// an error of that group. Runs on the calling thread, which only collects unless no worker can be
// started.

#include <cstddef>
#include <cstdint>
#include <expected>

#include "store/progress.hpp"
#include "verify/analysis/memory_budget.hpp"
#include "verify/file_list.hpp"
#include "verify/verify_error.hpp"
#include "verify/verify_options.hpp"
#include "verify/verify_report.hpp"

namespace kro::verify {

struct HeadTailSplit {
    size_t head;  // files 0 to head - 1
    size_t tail;  // the last `tail` files

    friend bool operator==(const HeadTailSplit&, const HeadTailSplit&) = default;
};

// The head and tail group sizes of `files` files under a budget of `jobs` >= 2 workers.
HeadTailSplit split_head_tail(size_t files, uint64_t jobs);

// Verifies `files` (in file order) with a budget of `options.jobs` >= 2 workers and pushes the
// reports into `collector` in file order.
std::expected<void, VerifyError> verify_files_parallel(const VerifyOptions& options, const FileList& files,
                                                       MemoryBudget& budget, store::ProgressTracker& tracker,
                                                       ReportCollector& collector);

}  // namespace kro::verify
