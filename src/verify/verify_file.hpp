#pragma once
// Verification of one file that the store walk found: the ID its path encodes, whether it sits at
// its canonical place, its header, its length, and its recomputed ID (v2: BLAKE2b-160 of the whole
// file; v3: the Merkle ID with a block-by-block comparison against the regenerated content); on
// any disagreement, the corruption analysis. Damage is a finding in the FileReport; only a failing
// input/output operation is an error. Several calls may run at once on different files; the
// worker scratch belongs to the caller alone.

#include <cstdint>
#include <expected>
#include <filesystem>

#include "format/file_id.hpp"
#include "verify/verify_error.hpp"
#include "verify/verify_report.hpp"
#include "verify/verify_run.hpp"
#include "verify/worker_scratch.hpp"

namespace kro::verify {

// The file's path is the root joined with the relative path, as the walk built it; the report
// leaves it to the caller's file list, and the issues hold copies. `lanes` (at least 1) is how
// many threads the file may use.
std::expected<FileReport, VerifyError> verify_file(const VerifyRun& run, const std::filesystem::path& path,
                                                   uint64_t lanes, WorkerScratch& scratch);

// True when `path` is `root` followed, component by component, by the shard path of `id`.
bool is_canonical_path(const std::filesystem::path& root, const std::filesystem::path& path,
                       const format::FileId& id);

}  // namespace kro::verify
