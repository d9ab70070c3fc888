#include "store/schedule.hpp"

#include "store/parallel_schedule.hpp"
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
                                              ReportCollector& collector, const ParallelSeams& seams) {
    if (options.jobs >= 2) return verify_files_parallel(options, paths, budget, tracker, collector, seams);
    return verify_files_in_order(options, paths, budget, tracker, collector);
}

}  // namespace kro::store
