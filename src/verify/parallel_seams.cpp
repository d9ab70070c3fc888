#include "verify/parallel_seams.hpp"

namespace kro::verify {

const ParallelSeams& ParallelSeams::none() {
    static const ParallelSeams seams;
    return seams;
}

base::SpawnFailure ParallelSeams::spawn_failure(ParallelStage stage) const {
    if (!fail_spawn) return {};
    return [hook = fail_spawn, stage](size_t spawn_index) { return hook(stage, spawn_index); };
}

}  // namespace kro::verify
