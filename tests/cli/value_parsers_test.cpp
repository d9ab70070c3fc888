#include "cli/args/value_parsers.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace kro::cli {
namespace {

TEST(ValueParsersTest, PositiveIntegerTakesDigitsWithAnOptionalPlusAndNothingElse) {
    const std::vector<std::pair<std::string, std::optional<uint64_t>>> cases = {
        {"1", 1},
        {"+4", 4},
        {"0004", 4},
        {"18446744073709551615", 18446744073709551615ull},
        {"0", std::nullopt},
        {"", std::nullopt},
        {" 4", std::nullopt},
        {"4 ", std::nullopt},
        {"4.0", std::nullopt},
        {"1_000", std::nullopt},
        {"-1", std::nullopt},
        {"+", std::nullopt},
        {"-", std::nullopt},
        {"0x10", std::nullopt},
        {"18446744073709551616", std::nullopt},
    };
    for (const auto& [text, expected] : cases) {
        const auto parsed = parse_positive_integer(text);
        if (expected) {
            ASSERT_TRUE(parsed) << text;
            EXPECT_EQ(*parsed, *expected) << text;
        } else {
            ASSERT_FALSE(parsed) << text;
            EXPECT_EQ(parsed.error().message(), text + " is not an integer of at least 1");
            EXPECT_NE(parsed.error().source(), nullptr) << text;
        }
    }
}

TEST(ValueParsersTest, PositiveIntegerCauseTellsWhy) {
    EXPECT_EQ(parse_positive_integer("").error().source()->message(),
              "cannot parse integer from empty string");
    EXPECT_EQ(parse_positive_integer("x").error().source()->message(), "invalid digit found in string");
    EXPECT_EQ(parse_positive_integer("99999999999999999999").error().source()->message(),
              "number too large to fit in target type");
    EXPECT_EQ(parse_positive_integer("0").error().source()->message(),
              "number would be zero for non-zero type");
}

TEST(ValueParsersTest, IntegerTakesEitherSignAcrossTheSignedRange) {
    const std::vector<std::pair<std::string, std::optional<int64_t>>> cases = {
        {"-5", -5},
        {"+5", 5},
        {"0", 0},
        {"-0", 0},
        {"9223372036854775807", 9223372036854775807ll},
        {"-9223372036854775808", std::numeric_limits<int64_t>::min()},
        {"9223372036854775808", std::nullopt},
        {"-9223372036854775809", std::nullopt},
        {"1.5", std::nullopt},
        {"", std::nullopt},
        {"-", std::nullopt},
        {"--5", std::nullopt},
        {"5x", std::nullopt},
    };
    for (const auto& [text, expected] : cases) {
        const auto parsed = parse_integer(text);
        if (expected) {
            ASSERT_TRUE(parsed) << text;
            EXPECT_EQ(*parsed, *expected) << text;
        } else {
            ASSERT_FALSE(parsed) << text;
            EXPECT_EQ(parsed.error().message(), text + " is not an integer");
        }
    }
}

TEST(ValueParsersTest, UnsignedIsDecimalOnly) {
    EXPECT_EQ(parse_unsigned("18446744073709551615").value(), 18446744073709551615ull);
    EXPECT_EQ(parse_unsigned("010").value(), 10u);
    EXPECT_EQ(parse_unsigned("18446744073709551616").error().message(),
              "number too large to fit in target type");
    EXPECT_EQ(parse_unsigned("-1").error().message(), "invalid digit found in string");
    EXPECT_EQ(parse_unsigned("0x1").error().message(), "invalid digit found in string");
}

class PathParsersTest : public testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / ("kro-path-parsers-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
        std::ofstream(dir_ / "file") << "x";
        std::filesystem::create_symlink(dir_ / "file", dir_ / "link");
        std::filesystem::create_symlink(dir_ / "missing", dir_ / "dangling");
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string at(const char* name) const { return (dir_ / name).string(); }
    std::filesystem::path dir_;
};

TEST_F(PathParsersTest, ExistingFileRejectsMissingPathsAndDirectories) {
    EXPECT_EQ(parse_existing_file(at("file")).value(), at("file"));
    EXPECT_EQ(parse_existing_file(at("link")).value(), at("link"));
    EXPECT_EQ(parse_existing_file(at("dangling")).error().message(),
              "path " + at("dangling") + " does not exist");
    const auto missing = parse_existing_file(at("nothing"));
    EXPECT_EQ(missing.error().message(), "path " + at("nothing") + " does not exist");
    ASSERT_NE(missing.error().source(), nullptr);
    EXPECT_EQ(missing.error().source()->message(), "No such file or directory");
    const auto directory = parse_existing_file(dir_.string());
    EXPECT_EQ(directory.error().message(), dir_.string() + " is a directory");
    EXPECT_EQ(directory.error().source(), nullptr);
}

TEST_F(PathParsersTest, ExistingPathAcceptsDirectories) {
    EXPECT_EQ(parse_existing_path(dir_.string()).value(), dir_);
    EXPECT_EQ(parse_existing_path(at("file")).value(), at("file"));
    EXPECT_EQ(parse_existing_path(at("nothing")).error().message(),
              "path " + at("nothing") + " does not exist");
}

TEST(ValueParsersTest, PathIsKeptAsTyped) {
    EXPECT_EQ(parse_existing_path(".").value(), std::filesystem::path("."));
}

}  // namespace
}  // namespace kro::cli
