#pragma once
// "Did you mean": the valid name nearest to a mistyped one, if any is near enough. Pure.

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kro::cli {

// The candidate closest to `typed` by edit distance (a swap of neighbours counts as one edit),
// accepted when at most a third of the longer name (and at least one character) differs, or when
// the candidate begins with `typed` (two characters or more); ties go to the earlier candidate.
std::optional<std::string> closest_name(std::string_view typed, std::span<const std::string> candidates);

}  // namespace kro::cli
