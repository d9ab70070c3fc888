#include "cli/output/color.hpp"

#include <unistd.h>

#include <cstdlib>

#include "base/path_display.hpp"

namespace kro::cli {
bool color_allowed() {
    const char* no_color = std::getenv("NO_COLOR");
    if (no_color != nullptr && *no_color != '\0') return false;
    const char* term = std::getenv("TERM");
    return term == nullptr || std::string_view(term) != "dumb";
}

bool color_for_stream(int fd) {
    return color_allowed() && ::isatty(fd) == 1;
}

std::string paint_str(bool color, std::string_view code, std::string_view text) {
    if (!color) return std::string(text);
    std::string out;
    out.reserve(text.size() + code.size() + 7);
    out += "\x1b[";
    out += code;
    out += 'm';
    out += text;
    out += "\x1b[0m";
    return out;
}

std::string paint_string(bool color, std::string_view code, std::string text) {
    if (!color) return text;
    return paint_str(color, code, text);
}

std::string paint_bold(bool color, std::string_view text) {
    return paint_str(color, sgr::BOLD, text);
}

std::string paint_bold_path(bool color, const std::filesystem::path& path) {
    return paint_string(color, sgr::BOLD, base::display_path(path));
}

}  // namespace kro::cli
