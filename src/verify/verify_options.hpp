#pragma once
// The settings of one verification run, which the `verify` command fills and `verify_store`
// reads for the whole run; shared read-only by the threads that verify files.

#include <cstdint>
#include <filesystem>

#include "base/at_most.hpp"
#include "base/hooks.hpp"
#include "store/progress.hpp"
#include "store/worker_count.hpp"
#include "verify/analysis/chunk_compare.hpp"

namespace kro::verify {

// The default analysis chunk.
inline constexpr uint64_t DEFAULT_CHUNK_SIZE = 4096;

// Filled with designated initializers; a field left out keeps the default given here, and every
// field has one. `chunk_size` and `jobs` stay at most MAX_CHUNK_SIZE and MAX_JOBS (the budget
// limit that generation shares) however they are set. Both must be at least 1: verify_store
// refuses a run with either below that before it reads anything.
struct VerifyOptions {
    std::filesystem::path root{};
    base::AtMost<MAX_CHUNK_SIZE> chunk_size = DEFAULT_CHUNK_SIZE;
    base::AtMost<store::MAX_JOBS> jobs = store::default_worker_count();
    store::ProgressObserver progress{};  // empty: no observer
    // Where tests step into the run; null in production.
    const base::Hooks* hooks = nullptr;
};

}  // namespace kro::verify
