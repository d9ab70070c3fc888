#include "verify/analysis/analysis.hpp"

#include "verify/analysis/parallel_analysis.hpp"
#include "verify/analysis/sequential_analysis.hpp"

namespace kro::verify {

std::expected<RegionList, base::IoError> analyze_corruption(int fd, const format::Header& header,
                                                            uint64_t actual_len, uint64_t chunk_size,
                                                            uint64_t workers, MemoryBudget& budget,
                                                            const base::Hooks* hooks) {
    if (workers >= 2) return analyze_parallel(fd, header, actual_len, chunk_size, workers, budget, hooks);
    return analyze_sequential(fd, header, actual_len, chunk_size, budget, hooks);
}

}  // namespace kro::verify
