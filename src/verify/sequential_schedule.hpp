#pragma once
// The files of a store verified one after the other on the calling thread, one lane each, with
// one scratch pair: the schedule of a budget of one worker, and the fallback of the head group
// when no worker can be started.

#include <cstddef>
#include <expected>

#include "store/progress.hpp"
#include "verify/analysis/memory_budget.hpp"
#include "verify/file_list.hpp"
#include "verify/verify_error.hpp"
#include "verify/verify_options.hpp"
#include "verify/verify_report.hpp"

namespace kro::verify {

// Files 0 to count - 1 in order; stops at the first fatal error, so no later file is opened.
std::expected<void, VerifyError> verify_files_in_order(const VerifyOptions& options, const FileList& files,
                                                       size_t count, MemoryBudget& budget,
                                                       store::ProgressTracker& tracker,
                                                       ReportCollector& collector);

}  // namespace kro::verify
