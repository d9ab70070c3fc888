#pragma once
// What one verification run hands down to everything that verifies its files: its options, the
// memory budget of its corruption analyses, its progress tracker, its hooks and whether large
// files may be read directly from the device. verify_store makes
// one per run. Shared by every thread that verifies files: the options are read-only, and the
// budget and the tracker are thread-safe.

#include "base/hooks.hpp"
#include "base/huge_page_area.hpp"
#include "store/progress.hpp"
#include "verify/analysis/memory_budget.hpp"
#include "verify/verify_options.hpp"

namespace kro::verify {

struct VerifyRun {
    VerifyRun(const VerifyOptions& options, MemoryBudget& memory, store::ProgressTracker& tracker)
        : options(options),
          memory(memory),
          tracker(tracker),
          hooks(options.hooks),
          direct_reads(base::lends_huge_pages()) {}

    const VerifyOptions& options;
    // The limit on analysis buffers, shared by every analysis of the run.
    MemoryBudget& memory;
    store::ProgressTracker& tracker;
    // The options' hooks: where tests step into the run; null in production.
    const base::Hooks* const hooks;
    // Whether large files may be read directly from the device into the lanes' buffers: only
    // where the machine lends huge pages for them, since a direct read into scattered pages is
    // split into several requests, and is slower than the page cache on some devices.
    const bool direct_reads;
};

}  // namespace kro::verify
