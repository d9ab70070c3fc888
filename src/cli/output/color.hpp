#pragma once
// Plain ANSI SGR colouring. Whether colour is on is decided once per output stream by the
// command (`color_allowed()` and the stream being a terminal) and passed along as a flag; every
// painted piece carries its own reset, so pieces are never nested. Stateless.

#include <filesystem>
#include <string>
#include <string_view>

namespace kro::cli {

// The SGR codes that kro paints with, by what they look like.
namespace sgr {
inline constexpr std::string_view BOLD = "1";
inline constexpr std::string_view DIM = "2";
inline constexpr std::string_view RED = "31";
inline constexpr std::string_view GREEN = "32";
inline constexpr std::string_view CYAN = "36";
inline constexpr std::string_view BOLD_RED = "1;31";
inline constexpr std::string_view BOLD_YELLOW = "1;33";
}  // namespace sgr

// False when NO_COLOR is set to anything but the empty text, or TERM is exactly "dumb".
bool color_allowed();

// `color_allowed()` and the descriptor being a terminal: the flag of one output stream.
bool color_for_stream(int fd);

// ESC "[" code "m", the text, ESC "[0m" when `color` is on; else the text unchanged.
std::string paint_str(bool color, std::string_view code, std::string_view text);
std::string paint_string(bool color, std::string_view code, std::string text);
// Bold.
std::string paint_bold(bool color, std::string_view text);
// The display form of a path (invalid UTF-8 replaced), bold.
std::string paint_bold_path(bool color, const std::filesystem::path& path);

}  // namespace kro::cli
