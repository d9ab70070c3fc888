#pragma once
// The settings of one verification run, which the `verify` command fills and `verify_store`
// reads for the whole run; shared read-only by the threads that verify files.

#include <cstdint>
#include <filesystem>

#include "base/hooks.hpp"
#include "store/progress.hpp"
#include "store/worker_count.hpp"

namespace kro::verify {

// The default analysis chunk.
inline constexpr uint64_t DEFAULT_CHUNK_SIZE = 4096;

// `chunk_size` and `jobs` must be at least 1 when the run starts; the setters clamp from above
// only.
struct VerifyOptions {
    std::filesystem::path root;
    uint64_t chunk_size = DEFAULT_CHUNK_SIZE;
    uint64_t jobs = 1;
    store::ProgressObserver progress;  // empty: no observer
    // Where tests step into the run; null in production.
    const base::Hooks* hooks = nullptr;

    // Chunk size 4096, `default_worker_count()` jobs, no observer.
    static VerifyOptions make(std::filesystem::path root);
    // `chunk_size` becomes min(value, MAX_CHUNK_SIZE).
    VerifyOptions with_chunk_size(uint64_t value) &&;
    // `jobs` becomes min(value, MAX_JOBS), the budget limit that generation shares.
    VerifyOptions with_jobs(uint64_t value) &&;
};

}  // namespace kro::verify
