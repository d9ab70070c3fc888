#pragma once
// Small text helpers shared by the parsers of configuration and arguments.

#include <string_view>
#include <vector>

namespace kro::base {

// The pieces between the separators, empty ones included: "a,,b" gives "a", "", "b", a trailing
// separator an empty last piece, and an empty text one empty piece. The pieces view `text`.
std::vector<std::string_view> split(std::string_view text, char separator);

}  // namespace kro::base
