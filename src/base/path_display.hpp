#pragma once
// Paths are raw bytes on Linux, and a store's names are chosen by whoever wrote the store. Their
// display form replaces invalid UTF-8 with U+FFFD, one replacement per maximal invalid
// sequence, and shows every control character visibly, so that no name can move the cursor,
// erase lines or start a line of its own on the terminal: U+0000-U+001F and U+007F as "\x" and
// two lower-case hex digits, U+0080-U+009F as "\u{80}"..."\u{9f}". Characters that reorder, hide
// or break text (Unicode's general categories Cf, Zl and Zp: bidirectional overrides, zero-width
// characters, U+2028 and U+2029) are shown the same way, "\u{" and the code point in lower-case
// hex, "}", so that no name reads differently from what it is. All other text is unchanged byte
// for byte; a backslash stays as it is.

#include <filesystem>
#include <string>
#include <string_view>

namespace kro::base {

std::string lossy_utf8(std::string_view bytes);
// The display form of a name or path text read from the file system or typed as a path.
std::string display_text(std::string_view bytes);
std::string display_path(const std::filesystem::path& path);
// True when the bytes are valid UTF-8.
bool is_valid_utf8(std::string_view bytes);

}  // namespace kro::base
