#include "verify/schedule.hpp"

#include "verify/parallel_schedule.hpp"
#include "verify/sequential_schedule.hpp"

namespace kro::verify {

std::expected<void, VerifyError> verify_files(const VerifyOptions& options, const FileList& files,
                                              MemoryBudget& budget, store::ProgressTracker& tracker,
                                              ReportCollector& collector) {
    if (options.jobs >= 2) return verify_files_parallel(options, files, budget, tracker, collector);
    return verify_files_in_order(options, files, files.size(), budget, tracker, collector);
}

}  // namespace kro::verify
