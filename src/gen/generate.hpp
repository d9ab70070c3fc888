#pragma once
// One generation run: creates the store root, then writes content files one after another
// until the file-count or disk-usage limit is reached. Each file names the previous one as its
// parent, is written to a temporary file in the root while its FileId is computed, and is then
// renamed onto its content-addressed path. After the last file the run's chain tip is recorded
// and the store's aggregate rewritten. A failed run leaves the files it placed, no temporary
// file and no chain tip. Runs on the calling thread; only the parallel writer starts threads,
// and they have ended when it returns.

#include <expected>

#include "gen/generate_error.hpp"
#include "gen/generate_options.hpp"
#include "gen/generate_summary.hpp"

namespace kro::gen {

std::expected<GenerateSummary, GenerateError> generate(GenerateOptions options);

}  // namespace kro::gen
