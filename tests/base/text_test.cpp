#include "base/text.hpp"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

namespace kro::base {
namespace {

TEST(SplitTest, KeepsEveryPieceBetweenSeparators) {
    using Pieces = std::vector<std::string_view>;
    const struct {
        std::string_view text;
        Pieces pieces;
    } cases[] = {
        {"", {""}},        {"a", {"a"}},      {"a,b", {"a", "b"}}, {"a,,b", {"a", "", "b"}},
        {",a", {"", "a"}}, {"a,", {"a", ""}}, {",", {"", ""}},
    };
    for (const auto& c : cases) EXPECT_EQ(split(c.text, ','), c.pieces) << '"' << c.text << '"';
}

}  // namespace
}  // namespace kro::base
