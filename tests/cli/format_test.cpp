#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "cli/args/usage_error.hpp"
#include "cli/output/color.hpp"
#include "cli/output/number_format.hpp"

namespace kro::cli {
namespace {

// Sets or removes environment variables for one test and puts the old values back.
class ScopedEnv {
  public:
    ScopedEnv(std::initializer_list<std::pair<const char*, std::optional<std::string>>> vars) {
        for (const auto& [name, value] : vars) {
            const char* old = std::getenv(name);
            saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
            set(name, value);
        }
    }
    ~ScopedEnv() {
        for (const auto& [name, value] : saved_) set(name.c_str(), value);
    }

  private:
    static void set(const char* name, const std::optional<std::string>& value) {
        if (value) {
            ::setenv(name, value->c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(ColorTest, EnvironmentDecidesWhetherColourIsAllowed) {
    struct Case {
        std::optional<std::string> no_color;
        std::optional<std::string> term;
        bool allowed;
    };
    const std::vector<Case> cases = {
        {std::nullopt, std::nullopt, true}, {"", std::nullopt, true},
        {"0", std::nullopt, false},         {"1", "xterm", false},
        {std::nullopt, "dumb", false},      {std::nullopt, "DUMB", true},
        {std::nullopt, "dumb2", true},      {"", "xterm-256color", true},
    };
    for (const Case& c : cases) {
        const ScopedEnv env({{"NO_COLOR", c.no_color}, {"TERM", c.term}});
        EXPECT_EQ(color_allowed(), c.allowed)
            << "NO_COLOR=" << c.no_color.value_or("<unset>") << " TERM=" << c.term.value_or("<unset>");
    }
}

TEST(ColorTest, PaintingWrapsTheTextInItsOwnResetOnlyWhenOn) {
    EXPECT_EQ(paint_str(true, "1;31", "ERROR:"), "\x1b[1;31mERROR:\x1b[0m");
    EXPECT_EQ(paint_str(false, "1;31", "ERROR:"), "ERROR:");
    EXPECT_EQ(paint_str(true, "2", ""), "\x1b[2m\x1b[0m");
    EXPECT_EQ(paint_string(true, "36", "abc"), "\x1b[36mabc\x1b[0m");
    EXPECT_EQ(paint_string(false, "36", "abc"), "abc");
    EXPECT_EQ(paint_bold(true, "File:"), "\x1b[1mFile:\x1b[0m");
    EXPECT_EQ(paint_str(true, "32", "✓"), "\x1b[32m\xE2\x9C\x93\x1b[0m");
    EXPECT_EQ(paint_str(false, "32", "x"), "x");
    EXPECT_EQ(paint_str(false, "32", "é"), "\xC3\xA9");
    EXPECT_EQ(paint_str(false, "32", "\U0001F600"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(paint_bold_path(true, std::filesystem::path("a\xff"
                                                          "b")),
              "\x1b[1ma\xEF\xBF\xBD"
              "b\x1b[0m");
    EXPECT_EQ(paint_bold_path(false, std::filesystem::path("/tmp/x")), "/tmp/x");
}

TEST(NumberFormatTest, GroupsDigitsInThreesFromTheRight) {
    const std::vector<std::pair<uint64_t, std::string>> cases = {
        {0, "0"},
        {12, "12"},
        {999, "999"},
        {1000, "1,000"},
        {123456, "123,456"},
        {1234567, "1,234,567"},
        {100000000, "100,000,000"},
        {18446744073709551615ull, "18,446,744,073,709,551,615"},
    };
    for (const auto& [n, text] : cases) EXPECT_EQ(format_thousands(n), text);
}

TEST(NumberFormatTest, HexIsLowerCaseHighNibbleFirst) {
    const std::vector<uint8_t> bytes = {0x00, 0x0F, 0xA0, 0xFF};
    EXPECT_EQ(to_hex(bytes), "000fa0ff");
    EXPECT_EQ(to_hex({}), "");
}

TEST(UsageColorTest, ConventionalVariablesDecideColourOfUsageErrors) {
    struct Case {
        std::optional<std::string> no_color, clicolor, force, ci, term;
        bool terminal;
        bool colored;
    };
    const std::nullopt_t unset = std::nullopt;
    const std::vector<Case> cases = {
        {unset, unset, unset, unset, "xterm", true, true},
        {unset, unset, unset, unset, "xterm", false, false},
        {"1", unset, "1", unset, "xterm", true, false},
        {"", unset, unset, unset, "xterm", true, true},
        {unset, unset, "1", unset, "xterm", false, true},
        {unset, unset, "0", unset, "xterm", false, false},
        {unset, "0", unset, unset, "xterm", true, false},
        {unset, unset, unset, unset, "dumb", true, false},
        {unset, unset, unset, "true", "dumb", true, true},
        {unset, "1", unset, unset, "dumb", true, true},
        {unset, unset, unset, "true", "xterm", false, false},
    };
    for (const Case& c : cases) {
        const ScopedEnv env({{"NO_COLOR", c.no_color},
                             {"CLICOLOR", c.clicolor},
                             {"CLICOLOR_FORCE", c.force},
                             {"CI", c.ci},
                             {"TERM", c.term}});
        EXPECT_EQ(usage_color_allowed(c.terminal), c.colored)
            << "NO_COLOR=" << c.no_color.value_or("-") << " CLICOLOR=" << c.clicolor.value_or("-")
            << " CLICOLOR_FORCE=" << c.force.value_or("-") << " CI=" << c.ci.value_or("-")
            << " TERM=" << c.term.value_or("-") << " terminal=" << c.terminal;
    }
}

}  // namespace
}  // namespace kro::cli
