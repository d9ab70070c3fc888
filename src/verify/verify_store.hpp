#pragma once
// Verification of a whole store in one call: the store test, the chain-tip markers, the walk of
// the directory tree (down to MAX_STORE_DEPTH levels), every file verified in byte-wise path
// order, and then the checks that need every file at once: parent links, format agreement along
// a chain, orphans, missing chain tips and the chain-tip aggregate. Runs on the calling thread;
// only the verification of the files may use others. Nothing in the store is written.

#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "format/file_id.hpp"
#include "verify/file_list.hpp"
#include "verify/verify_error.hpp"
#include "verify/verify_report.hpp"

namespace kro::verify {

// The issues of the store in report order, and the number of files the walk found.
std::expected<VerifyReport, VerifyError> verify_store(const VerifyOptions& options);

// Adds to `tips` the ID of every name made of exactly 40 lower-case hex digits.
void collect_chain_tips(const std::vector<std::string>& names, std::unordered_set<format::FileId>& tips);

// The version of every report that has a file ID and sits at its canonical path.
VersionMap index_canonical_versions(const std::vector<FileReport>& reports);

// The ParentHashNotFound or ChainFormatMismatch issue of the file at `path` with this report, if
// any.
std::optional<Issue> parent_link_issue(const FileReport& report, std::string_view path,
                                       const VersionMap& versions, const std::filesystem::path& root);

// Every file below `root` (symbolic links to directories and root/.metadata left out), sorted
// byte-wise by the whole path; a prefix sorts first.
std::expected<FileList, VerifyError> walk_store(const std::filesystem::path& root);

}  // namespace kro::verify
