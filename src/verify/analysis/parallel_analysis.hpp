#pragma once
// Corruption analysis of one file on several threads. The compared span is cut into units of
// about 8 MiB (a whole number of chunks, so the chunk grid is that of the sequential analysis);
// the calling thread and up to workers - 1 scoped threads claim units from a dispenser that
// runs at most 4 x workers units ahead of the merge, and the calling thread merges the units'
// regions in unit order. Every unit reserves its two buffers from the run's MemoryBudget before
// it allocates them. The regions equal those of the sequential analysis for every thread count.

#include <cstdint>
#include <expected>

#include "base/hooks.hpp"
#include "base/io_error.hpp"
#include "format/header.hpp"
#include "verify/analysis/corrupt_region.hpp"
#include "verify/analysis/memory_budget.hpp"
#include "verify/analysis/region_list.hpp"

namespace kro::verify {

// The target size of one unit of parallel analysis: 8 MiB.
inline constexpr uint64_t ANALYSIS_UNIT_TARGET = 8388608;

// How the span [60, end) of one file is cut and how many threads analyse it.
struct AnalysisUnits {
    uint64_t unit_size;
    uint64_t unit_count;
    uint64_t workers;

    friend bool operator==(const AnalysisUnits&, const AnalysisUnits&) = default;
};

// The units of a span ending at `end` (> 60) for `chunk_size` (1 to 64 MiB) and a lane count of
// `workers`: whole chunks adding up to at most 8 MiB per unit (one chunk when the chunk is
// larger), and no more threads than units or than the memory limit holds two unit buffers for.
AnalysisUnits plan_analysis_units(uint64_t end, uint64_t chunk_size, uint64_t workers);

// The regions of `fd`, a file of `actual_len` bytes with the parsed `header`, analysed by up to
// `workers` threads (the calling thread included). A unit whose read fails stops the handing out
// of units; the error of the lowest failing unit is returned. A fault of any thread cancels the
// analysis and is raised again on the calling thread once every thread has ended; running out of
// memory, on any thread, is an I/O error of kind OutOfMemory instead.
std::expected<RegionList, base::IoError> analyze_parallel(int fd, const format::Header& header,
                                                          uint64_t actual_len, uint64_t chunk_size,
                                                          uint64_t workers, MemoryBudget& budget,
                                                          const base::Hooks* hooks = nullptr);

}  // namespace kro::verify
