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

TEST(ErrorChainTest, JoinsOutermostFirst) {
    struct Outer final : Error {
        IoError inner = IoError::with_message(IoErrorKind::WriteZero, "a positional write made no progress");
        std::string message() const override { return "writing x"; }
        const Error* source() const override { return &inner; }
    };
    EXPECT_EQ(error_chain(Outer{}), "writing x: a positional write made no progress");
    EXPECT_EQ(IoError::from_errno(2).message(), "No such file or directory");
    EXPECT_TRUE(IoError::from_errno(4).is_interrupted());
}

}  // namespace
}  // namespace kro::base
