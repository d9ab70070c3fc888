#pragma once
// Has every file of a store verified under the run's worker budget. Whatever the budget, the
// outcome is the same: one FileReport per file pushed into the collector in file order, or the
// fatal error of the lowest-indexed failing file (reports pushed before it are left for the
// caller to discard). Runs on the calling thread; the options, the memory budget and the tracker
// are shared with whatever threads verify files.

#include <cstddef>
#include <expected>

#include "store/progress.hpp"
#include "verify/analysis/memory_budget.hpp"
#include "verify/file_list.hpp"
#include "verify/parallel_seams.hpp"
#include "verify/verify_error.hpp"
#include "verify/verify_report.hpp"

namespace kro::verify {

// Verifies `files` (in file order) with a budget of `options.jobs` workers.
std::expected<void, VerifyError> verify_files(const VerifyOptions& options, const FileList& files,
                                              MemoryBudget& budget, store::ProgressTracker& tracker,
                                              ReportCollector& collector,
                                              const ParallelSeams& seams = ParallelSeams::none());

// Files 0 to count - 1, one after the other on the calling thread, one lane each, with one
// scratch pair; stops at the first fatal error, so no later file is opened.
std::expected<void, VerifyError> verify_files_in_order(const VerifyOptions& options, const FileList& files,
                                                       size_t count, MemoryBudget& budget,
                                                       store::ProgressTracker& tracker,
                                                       ReportCollector& collector);

}  // namespace kro::verify
