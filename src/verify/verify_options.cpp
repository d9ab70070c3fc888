#include "verify/verify_options.hpp"

#include <algorithm>

#include "store/worker_count.hpp"
#include "verify/analysis/chunk_compare.hpp"

namespace kro::verify {

VerifyOptions VerifyOptions::make(std::filesystem::path root) {
    VerifyOptions options;
    options.root = std::move(root);
    options.jobs = store::default_worker_count();
    return options;
}

VerifyOptions VerifyOptions::with_chunk_size(uint64_t value) && {
    chunk_size = std::min(value, MAX_CHUNK_SIZE);
    return std::move(*this);
}

VerifyOptions VerifyOptions::with_jobs(uint64_t value) && {
    jobs = std::min<uint64_t>(value, store::MAX_JOBS);
    return std::move(*this);
}

}  // namespace kro::verify
