#include "base/path_display.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "base/errors/error.hpp"
#include "base/errors/io_error.hpp"

namespace kro::base {
namespace {

TEST(PathDisplayTest, ReplacesEachMaximalInvalidSequenceOnce) {
    struct Case {
        std::string in, out;
    };
    const Case cases[] = {
        {"plain/ascii", "plain/ascii"},
        {"caf\xC3\xA9", "caf\xC3\xA9"},
        {"a\xFF"
         "b",
         "a\xEF\xBF\xBD"
         "b"},
        {"\xE2\x82", "\xEF\xBF\xBD"},  // truncated 3-byte sequence: one replacement
        {"\xE2\x82x", "\xEF\xBF\xBDx"},
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate: each byte replaced
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(lossy_utf8(c.in), c.out) << c.in;
        EXPECT_EQ(is_valid_utf8(c.in), c.in == c.out) << c.in;
    }
}

// Names from a store reach the terminal only in this form: no control character survives raw,
// while printable text, backslashes and the replacement of invalid UTF-8 stay as they were.
TEST(PathDisplayTest, ShowsEveryControlCharacterVisibly) {
    struct Case {
        std::string in, out;
    };
    const Case cases[] = {
        {"store/ab/cd/ef/0123456789abcdef", "store/ab/cd/ef/0123456789abcdef"},
        {"caf\xC3\xA9 \xE2\x9C\x93 \xF0\x9F\x98\x80 ~", "caf\xC3\xA9 \xE2\x9C\x93 \xF0\x9F\x98\x80 ~"},
        {"back\\slash \\x1b", "back\\slash \\x1b"},
        {std::string("nul\0end", 7), "nul\\x00end"},
        {"\x01\x07\x08\t\n\x0b\x0c\r\x1b\x1f", "\\x01\\x07\\x08\\x09\\x0a\\x0b\\x0c\\x0d\\x1b\\x1f"},
        {"a\x1b[2Jb\nCORRUPTION: forged", "a\\x1b[2Jb\\x0aCORRUPTION: forged"},
        {" \x7F~", " \\x7f~"},
        // C1 controls arrive as their two-byte UTF-8 forms C2 80..C2 9F.
        {"\xC2\x80|\xC2\x9B|\xC2\x9F", "\\u{80}|\\u{9b}|\\u{9f}"},
        // U+00A0 and U+00FF are printable: only C2 80..C2 9F are controls.
        {"\xC2\xA0\xC3\xBF", "\xC2\xA0\xC3\xBF"},
        // A lone 0x9B byte is invalid UTF-8, not a control: it is replaced.
        {"\x9B[2J", "\xEF\xBF\xBD[2J"},
        {"\xFF\x1b\xC2\x85\xE2\x82\n", "\xEF\xBF\xBD\\x1b\\u{85}\xEF\xBF\xBD\\x0a"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(display_text(c.in), c.out) << c.in;
        EXPECT_EQ(display_path(std::filesystem::path(c.in)), c.out) << c.in;
    }
}

// The UTF-8 form of one code point.
std::string utf8(char32_t c) {
    std::string out;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

// Characters that reorder, hide or break text (general categories Cf, Zl and Zp) are shown like
// the C1 controls; their printable neighbours, and everything else, stay byte for byte.
TEST(PathDisplayTest, ShowsCharactersThatReorderHideOrBreakTextVisibly) {
    struct Range {
        char32_t first, last;
    };
    const Range invisible[] = {
        {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},   {0x070F, 0x070F},
        {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},   {0x200B, 0x200F},   {0x2028, 0x202E},
        {0x2060, 0x2064},   {0x2066, 0x206F},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD},
        {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
        {0xE0020, 0xE007F},
    };
    const auto shown = [](char32_t c) { return fmt::format("\\u{{{:x}}}", static_cast<uint32_t>(c)); };
    for (const auto& [first, last] : invisible) {
        for (const char32_t c : {first, static_cast<char32_t>(first + (last - first) / 2), last}) {
            EXPECT_EQ(display_text("a" + utf8(c) + "b"), "a" + shown(c) + "b")
                << std::hex << static_cast<uint32_t>(c);
        }
    }
    // Just outside the ranges: printable (or unassigned) and untouched.
    for (const char32_t c :
         {0x00ACu, 0x00AEu,  0x05FFu,  0x0606u,  0x061Bu,  0x061Du,  0x088Fu,  0x0892u,  0x200Au,
          0x2010u, 0x2027u,  0x202Fu,  0x205Fu,  0x2065u,  0x2070u,  0xFEFEu,  0xFF00u,  0xFFF8u,
          0xFFFCu, 0x13440u, 0x1D172u, 0x1D17Bu, 0xE0000u, 0xE0002u, 0xE001Fu, 0xE0080u, 0xFE0Fu}) {
        EXPECT_EQ(display_text(utf8(c)), utf8(c)) << std::hex << static_cast<uint32_t>(c);
    }
    struct Case {
        std::string in, out;
    };
    const Case cases[] = {
        // A right-to-left override would show the two lengths of a finding reversed.
        {"ab/\xE2\x80\xAE"
         "cd: expected 4096, got 1024",
         "ab/\\u{202e}cd: expected 4096, got 1024"},
        // A zero-width space makes a stray name look like the genuine one beside it.
        {"0123\xE2\x80\x8B"
         "4567",
         "0123\\u{200b}4567"},
        // Line and paragraph separators would start a line of their own.
        {"x\xE2\x80\xA8y\xE2\x80\xA9z", "x\\u{2028}y\\u{2029}z"},
        // A tag character, four bytes of UTF-8; an emoji joined by U+200D shows the joiner.
        {"\xF3\xA0\x80\x81", "\\u{e0001}"},
        {"\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB", "\xF0\x9F\x91\xA9\\u{200d}\xF0\x9F\x92\xBB"},
        // Next to a control and invalid UTF-8, each keeps its own form.
        {"\x1b\xEF\xBB\xBF\xFF\xC2\xAD", "\\x1b\\u{feff}\xEF\xBF\xBD\\u{ad}"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(display_text(c.in), c.out) << c.in;
        EXPECT_EQ(display_path(std::filesystem::path(c.in)), c.out) << c.in;
    }
}

TEST(ErrorChainTest, JoinsOutermostFirst) {
    struct Outer final : Error {
        IoError inner = IoError::with_message(IoErrorKind::WriteZero, "a positional write made no progress");
        std::string message() const override { return "writing x"; }
        const Error* source() const override { return &inner; }
    };
    EXPECT_EQ(error_chain(Outer{}), "writing x: a positional write made no progress");
    EXPECT_EQ(IoError::from_errno(2).message(), "No such file or directory");
    EXPECT_EQ(IoError::from_errno(4).kind(), IoErrorKind::Interrupted);
}

}  // namespace
}  // namespace kro::base
