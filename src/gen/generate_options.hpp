#pragma once
// The input of one generation run. The `gen` command fills it with designated initializers and
// hands it to `generate` by value; a field left out keeps the default given here, and every
// field has one: no limits, a fixed 4096-byte sampler, no observer, the machine's default worker
// budget, 4 writer threads, format v3 and no seed.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

#include "base/at_most.hpp"
#include "base/fs/temp_file_registry.hpp"
#include "base/hooks.hpp"
#include "format/header.hpp"
#include "gen/sizes/sampling.hpp"
#include "gen/sizes/seed.hpp"
#include "store/progress.hpp"
#include "store/worker_count.hpp"

namespace kro::gen {

struct GenerateOptions {
    std::filesystem::path root{};
    std::optional<uint64_t> max_files{};       // stop after this many files
    std::optional<uint64_t> max_disk_usage{};  // stop once the written sizes add up to this
    SizeSampler sampler = SizeSampler::from_seed(SizeSpec{SizeSpec::Fixed{4096}}, MasterSeed{});
    store::ProgressObserver observer{};  // empty: no progress is reported
    // The worker budget for one file, at most MAX_JOBS however it is set; 0 and 1 both mean
    // sequential writing.
    base::AtMost<store::MAX_JOBS> jobs = store::default_worker_count();
    size_t writers = 4;  // writer threads of the parallel writer; at least 1
    format::FormatVersion version = format::FormatVersion::V3;
    // With a seed, sizes and content seeds derive from it; without, they come from the system.
    std::optional<MasterSeed> master_seed{};
    // Where the run's temporary files are on record while they exist, for a caller that removes
    // them when a signal stops the run; empty: not recorded.
    std::shared_ptr<base::TempFileRegistry> temp_files{};
    // Where a test steps into the run (random names, closes, positional writes, thread starts,
    // the writer's blocks); null in production. Outlives the run.
    const base::Hooks* hooks = nullptr;
};

}  // namespace kro::gen
