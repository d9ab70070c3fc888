#pragma once
// Has every file of a store verified under the run's worker budget. Whatever the budget, the
// outcome is the same: one FileReport per file pushed into the collector in file order, or the
// fatal error of the lowest-indexed failing file (reports pushed before it are left for the
// caller to discard). Runs on the calling thread; the options, the memory budget and the tracker
// are shared with whatever threads verify files.

#include <expected>
#include <filesystem>
#include <span>

#include "store/memory_budget.hpp"
#include "store/parallel_seams.hpp"
#include "store/progress.hpp"
#include "store/verify_error.hpp"
#include "store/verify_report.hpp"

namespace kro::store {

// Verifies `paths` (in file order) with a budget of `options.jobs` workers.
std::expected<void, VerifyError> verify_files(const VerifyOptions& options,
                                              std::span<const std::filesystem::path> paths,
                                              MemoryBudget& budget, ProgressTracker& tracker,
                                              ReportCollector& collector,
                                              const ParallelSeams& seams = ParallelSeams::none());

// One file after the other on the calling thread, one lane each, with one scratch pair; stops at
// the first fatal error, so no later file is opened.
std::expected<void, VerifyError> verify_files_in_order(const VerifyOptions& options,
                                                       std::span<const std::filesystem::path> paths,
                                                       MemoryBudget& budget, ProgressTracker& tracker,
                                                       ReportCollector& collector);

}  // namespace kro::store
