#pragma once
// Has every file of a store verified under the run's worker budget: one after the other on the
// calling thread for a budget of one, in a head and a tail group of workers otherwise. Whatever
// the budget, the outcome is the same: one FileReport per file pushed into the collector in file
// order, or the fatal error of the lowest-indexed failing file (reports pushed before it are left
// for the caller to discard). Runs on the calling thread; the options, the memory budget and the
// tracker are shared with whatever threads verify files.

#include <expected>

#include "store/progress.hpp"
#include "verify/analysis/memory_budget.hpp"
#include "verify/file_list.hpp"
#include "verify/verify_error.hpp"
#include "verify/verify_options.hpp"
#include "verify/verify_report.hpp"

namespace kro::verify {

// Verifies `files` (in file order) with a budget of `options.jobs` workers.
std::expected<void, VerifyError> verify_files(const VerifyOptions& options, const FileList& files,
                                              MemoryBudget& budget, store::ProgressTracker& tracker,
                                              ReportCollector& collector);

}  // namespace kro::verify
