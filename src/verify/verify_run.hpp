#pragma once
// What one verification run hands down to everything that verifies its files: its options, the
// memory budget of its corruption analyses, its progress tracker and its hooks. verify_store makes
// one per run. Shared by every thread that verifies files: the options are read-only, and the
// budget and the tracker are thread-safe.

#include "base/hooks.hpp"
#include "store/progress.hpp"
#include "verify/analysis/memory_budget.hpp"
#include "verify/verify_options.hpp"

namespace kro::verify {

struct VerifyRun {
    VerifyRun(const VerifyOptions& options, MemoryBudget& memory, store::ProgressTracker& tracker)
        : options(options), memory(memory), tracker(tracker), hooks(options.hooks) {}

    const VerifyOptions& options;
    // The limit on analysis buffers, shared by every analysis of the run.
    MemoryBudget& memory;
    store::ProgressTracker& tracker;
    // The options' hooks: where tests step into the run; null in production.
    const base::Hooks* const hooks;
};

}  // namespace kro::verify
