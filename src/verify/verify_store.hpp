#pragma once
// Verification of a whole store in one call: the store test, the chain-tip markers, the walk of
// the directory tree (down to MAX_STORE_DEPTH levels), every file verified in byte-wise path
// order, and then the checks that need every file at once: parent links, format agreement along
// a chain, orphans, missing chain tips and the chain-tip aggregate. Runs on the calling thread;
// only the verification of the files may use others. Nothing in the store is written.

#include <expected>
#include <filesystem>

#include "verify/file_list.hpp"
#include "verify/verify_error.hpp"
#include "verify/verify_options.hpp"
#include "verify/verify_report.hpp"

namespace kro::verify {

// The issues of the store in report order, and the number of files the walk found.
std::expected<VerifyReport, VerifyError> verify_store(const VerifyOptions& options);

// Every file below `root` (symbolic links to directories and root/.metadata left out), sorted
// byte-wise by the whole path; a prefix sorts first.
std::expected<FileList, VerifyError> walk_store(const std::filesystem::path& root);

}  // namespace kro::verify
