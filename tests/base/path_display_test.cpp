#include "base/path_display.hpp"

#include <gtest/gtest.h>

#include "base/error.hpp"
#include "base/io_error.hpp"

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
