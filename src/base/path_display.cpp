#include "base/path_display.hpp"

#include <fmt/format.h>

#include <optional>

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

// A control character's visible form, or nothing for any other valid sequence.
std::optional<std::string> escaped_control(std::string_view sequence) {
    const auto b0 = static_cast<unsigned char>(sequence[0]);
    if (sequence.size() == 1 && (b0 < 0x20 || b0 == 0x7F)) return fmt::format("\\x{:02x}", b0);
    // U+0080..U+009F are the two-byte sequences C2 80..C2 9F.
    if (sequence.size() == 2 && b0 == 0xC2) {
        const auto b1 = static_cast<unsigned char>(sequence[1]);
        if (b1 <= 0x9F) return fmt::format("\\u{{{:02x}}}", b1);
    }
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
