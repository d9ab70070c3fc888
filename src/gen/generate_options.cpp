#include "gen/generate_options.hpp"

#include <algorithm>

#include "store/worker_count.hpp"

namespace kro::gen {

GenerateOptions::GenerateOptions(std::filesystem::path root_dir)
    : sampler(SizeSampler::from_seed(SizeSpec{SizeSpec::Fixed{4096}}, MasterSeed{})),
      root(std::move(root_dir)),
      jobs(store::default_worker_count()) {}

GenerateOptions GenerateOptions::size_sampler(SizeSampler replacement) && {
    sampler = std::move(replacement);
    return std::move(*this);
}

GenerateOptions GenerateOptions::with_jobs(size_t n) && {
    jobs = std::min(n, store::MAX_JOBS);
    return std::move(*this);
}

}  // namespace kro::gen
