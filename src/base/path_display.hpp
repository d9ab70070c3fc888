#pragma once
// Paths are raw bytes on Linux. Their display form replaces invalid UTF-8 with U+FFFD, one
// replacement per maximal invalid sequence, so that any path can be printed.

#include <filesystem>
#include <string>
#include <string_view>

namespace kro::base {

std::string lossy_utf8(std::string_view bytes);
std::string display_path(const std::filesystem::path& path);
// True when the bytes are valid UTF-8.
bool is_valid_utf8(std::string_view bytes);

}  // namespace kro::base
