#pragma once
// Has every file of a store verified under the run's worker budget. For a budget of one, the files
// are verified one after the other on the calling thread, one lane each. For a budget J >= 2, the
// file list is cut into a head group, whose files go to J workers one file each (one lane per
// file) and are pushed in file order, and a tail group of at most J - 1 files that run at the same
// time and share the J workers as lanes, largest file started first. Whatever the budget, the
// outcome is the same: one FileReport per file pushed into the collector in file order, or the
// fatal error of the lowest-indexed failing file (reports pushed before it are left for the caller
// to discard). A fault of a worker is raised again on the calling thread once every thread of its
// group has ended, and wins over an error of that group. Runs on the calling thread, which only
// collects unless no worker can be started; the run is shared with whatever threads verify
// files.

#include <cstddef>
#include <cstdint>
#include <expected>

#include "verify/file_list.hpp"
#include "verify/verify_error.hpp"
#include "verify/verify_report.hpp"
#include "verify/verify_run.hpp"

namespace kro::verify {

// For the run's hooks, an item of the head group is a file index, one of the tail group a position
// in it.

struct HeadTailSplit {
    size_t head;  // files 0 to head - 1
    size_t tail;  // the last `tail` files

    friend bool operator==(const HeadTailSplit&, const HeadTailSplit&) = default;
};

// The head and tail group sizes of `files` files under a budget of `jobs` >= 2 workers.
HeadTailSplit split_head_tail(size_t files, uint64_t jobs);

// Verifies `files` (in file order) with a budget of `run.options.jobs` workers.
std::expected<void, VerifyError> verify_files(const VerifyRun& run, const FileList& files,
                                              ReportCollector& collector);

}  // namespace kro::verify
