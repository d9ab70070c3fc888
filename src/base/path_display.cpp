#include "base/path_display.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <utility>

namespace kro::base {
namespace {

// Length of the valid UTF-8 sequence at s[i], or the length of the maximal invalid prefix
// (at least 1) negated. Follows the Unicode "maximal subpart" rule.
long sequence_at(std::string_view s, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char b0 = byte(i);
    if (b0 < 0x80) return 1;
    size_t need;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return -1;
    }
    for (size_t k = 1; k <= need; ++k) {
        if (i + k >= s.size()) return -static_cast<long>(k);
        const unsigned char b = byte(i + k);
        const unsigned char l = k == 1 ? lo : 0x80;
        const unsigned char h = k == 1 ? hi : 0xBF;
        if (b < l || b > h) return -static_cast<long>(k);
    }
    return static_cast<long>(need + 1);
}

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";

// The code point of one valid UTF-8 sequence.
char32_t code_point(std::string_view sequence) {
    const auto byte = [&](size_t k) {
        return static_cast<char32_t>(static_cast<unsigned char>(sequence[k]));
    };
    constexpr std::array<char32_t, 5> LEAD_BITS = {0, 0x7F, 0x1F, 0x0F, 0x07};
    char32_t value = byte(0) & LEAD_BITS[sequence.size()];
    for (size_t k = 1; k < sequence.size(); ++k) value = (value << 6) | (byte(k) & 0x3F);
    return value;
}

// Unicode's format characters and line and paragraph separators (general categories Cf, Zl and
// Zp): they reorder, hide or break text on a display that honours them.
constexpr std::array<std::pair<char32_t, char32_t>, 21> INVISIBLE_RANGES = {{
    {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},   {0x070F, 0x070F},
    {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},   {0x200B, 0x200F},   {0x2028, 0x202E},
    {0x2060, 0x2064},   {0x2066, 0x206F},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD},
    {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
    {0xE0020, 0xE007F},
}};

bool is_invisible(char32_t c) {
    return std::any_of(INVISIBLE_RANGES.begin(), INVISIBLE_RANGES.end(),
                       [c](const auto& range) { return range.first <= c && c <= range.second; });
}

// The visible form of a control or invisible character, or nothing for any other valid sequence.
std::optional<std::string> escaped_control(std::string_view sequence) {
    const char32_t c = code_point(sequence);
    if (c < 0x20 || c == 0x7F) return fmt::format("\\x{:02x}", static_cast<uint32_t>(c));
    if ((c >= 0x80 && c <= 0x9F) || is_invisible(c))
        return fmt::format("\\u{{{:x}}}", static_cast<uint32_t>(c));
    return std::nullopt;
}

// Walks the bytes as UTF-8: each valid sequence goes through `valid`, each maximal invalid
// sequence becomes one U+FFFD.
template <typename OnValid>
std::string map_utf8(std::string_view bytes, OnValid valid) {
    std::string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        const long n = sequence_at(bytes, i);
        if (n > 0) {
            valid(out, bytes.substr(i, static_cast<size_t>(n)));
            i += static_cast<size_t>(n);
        } else {
            out += REPLACEMENT;
            i += static_cast<size_t>(-n);
        }
    }
    return out;
}

}  // namespace

std::string lossy_utf8(std::string_view bytes) {
    return map_utf8(bytes, [](std::string& out, std::string_view sequence) { out += sequence; });
}

std::string display_text(std::string_view bytes) {
    return map_utf8(bytes, [](std::string& out, std::string_view sequence) {
        if (auto escaped = escaped_control(sequence)) {
            out += *escaped;
        } else {
            out += sequence;
        }
    });
}

bool is_valid_utf8(std::string_view bytes) {
    for (size_t i = 0; i < bytes.size();) {
        const long n = sequence_at(bytes, i);
        if (n < 0) return false;
        i += static_cast<size_t>(n);
    }
    return true;
}

std::string display_path(const std::filesystem::path& path) {
    return display_text(path.native());
}

}  // namespace kro::base
