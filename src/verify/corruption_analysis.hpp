#pragma once
// Corruption analysis: where a damaged content file differs from the content regenerated from
// its header, and how. Chooses the path by the file's lane count: on the calling thread below two
// lanes, on several threads otherwise. Both paths compare on the same chunk grid and merge in
// file order, so the result does not depend on how many threads analyse the file.
//
// On the calling thread, the compared span is read forward from offset 60 in pieces of whole
// chunks with two buffers made once. On several threads, the span is cut into units of about
// 8 MiB (a whole number of chunks, so the chunk grid is that of the calling thread's path); the
// calling thread and up to W - 1 scoped threads (W: the lanes, capped by the units and the
// memory limit) claim units from a dispenser that runs at most 4 W units ahead of the merge, and the calling
// thread merges the units' regions in unit order. Either way the buffers are reserved from the run's
// MemoryBudget before they are allocated. The reads are positional and go through the file's
// reader. The pieces it is made of (the chunk comparison, the regions, the memory budget) are in
// analysis/.

#include <cstdint>
#include <expected>

#include "base/errors/io_error.hpp"
#include "verify/analysis/region_list.hpp"
#include "verify/data_file_reader.hpp"

namespace kro::verify {

// How the span [60, end) of one file is cut and how many threads analyse it.
struct AnalysisUnits {
    uint64_t unit_size;
    uint64_t unit_count;
    uint64_t workers;  // the threads that analyse: the lanes, capped by the units and the memory limit

    friend bool operator==(const AnalysisUnits&, const AnalysisUnits&) = default;
};

// The units of a span ending at `end` (> 60) for `chunk_size` (1 to 64 MiB) and a lane count of
// `lanes`: whole chunks adding up to at most 8 MiB per unit (one chunk when the chunk is
// larger), and no more threads than units or than the memory limit holds two unit buffers for.
AnalysisUnits plan_analysis_units(uint64_t end, uint64_t chunk_size, uint64_t lanes);

// The regions of the reader's file, in ascending file order, on its run's chunk grid (1 to
// 64 MiB, so that the buffers fit the run's budget): below two lanes on the calling thread,
// otherwise on up to the reader's lanes; either way its buffers are reserved from the run's
// memory budget, waiting for room. A file that ends before its length while it is read is reported
// missing from where it ended. On several threads, a unit whose read fails stops the handing out
// of units and the error of the lowest failing unit is returned; a fault of any thread cancels the
// analysis and is raised again on the calling thread once every thread has ended. Running out of
// memory, on any thread, is an I/O error of kind OutOfMemory.
std::expected<RegionList, base::IoError> analyze_corruption(const DataFileReader& file);

}  // namespace kro::verify
