#pragma once
// The parallel stages of verification, by the names the test hooks know them by.

#include "base/hooks.hpp"

namespace kro::verify {

// A worker verifying the head group's files one at a time.
inline constexpr base::StageName HEAD_WORKER{"head worker"};
// A thread verifying large files of the tail group, one at a time.
inline constexpr base::StageName TAIL_WORKER{"tail worker"};
// A lane checking the blocks of a v3 file.
inline constexpr base::StageName V3_LANE{"v3 lane"};
// A reader of the blocks of a v2 file.
inline constexpr base::StageName V2_READER{"v2 reader"};
// A unit of the parallel corruption analysis.
inline constexpr base::StageName ANALYSIS_UNIT{"analysis unit"};

}  // namespace kro::verify
