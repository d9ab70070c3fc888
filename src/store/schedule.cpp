#include "store/schedule.hpp"

#include "store/scratch_pair.hpp"
#include "store/verify_file.hpp"

namespace kro::store {

std::expected<void, VerifyError> verify_files_in_order(const VerifyOptions& options,
                                                       std::span<const std::filesystem::path> paths,
                                                       MemoryBudget& budget, ProgressTracker& tracker,
                                                       ReportCollector& collector) {
    ScratchPair scratch;
    for (const std::filesystem::path& path : paths) {
        auto report = verify_file(options, path, 1, scratch, budget, tracker);
        if (!report) return std::unexpected(std::move(report.error()));
        collector.push(std::move(*report));
    }
    return {};
}

std::expected<void, VerifyError> verify_files(const VerifyOptions& options,
                                              std::span<const std::filesystem::path> paths,
                                              MemoryBudget& budget, ProgressTracker& tracker,
                                              ReportCollector& collector) {
    // The report is the same for every budget; this build verifies the files in order on the
    // calling thread whatever the budget.
    return verify_files_in_order(options, paths, budget, tracker, collector);
}

}  // namespace kro::store
