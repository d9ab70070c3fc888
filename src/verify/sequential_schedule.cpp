#include "verify/sequential_schedule.hpp"

#include "verify/scratch_pair.hpp"
#include "verify/verify_file.hpp"

namespace kro::verify {

std::expected<void, VerifyError> verify_files_in_order(const VerifyOptions& options, const FileList& files,
                                                       size_t count, MemoryBudget& budget,
                                                       store::ProgressTracker& tracker,
                                                       ReportCollector& collector) {
    ScratchPair scratch;
    for (size_t index = 0; index < count; ++index) {
        auto report = verify_file(options, files.path(index), 1, scratch, budget, tracker);
        if (!report) return std::unexpected(std::move(report.error()));
        collector.push(std::move(*report));
    }
    return {};
}

}  // namespace kro::verify
