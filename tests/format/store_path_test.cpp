#include "format/store_path.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>

#include "format/format_fixtures.hpp"

namespace kro::format {
namespace {

using testing::sample_parent;

FileId id_0123456700() {
    FileId id;
    id.bytes[0] = 0x01, id.bytes[1] = 0x23, id.bytes[2] = 0x45, id.bytes[3] = 0x67;
    return id;
}

const std::string DIGITS34 = "0123456789abcdef0123456789abcdef01";

TEST(ShardPath, LayoutOfAFileId) {
    const std::filesystem::path shard = id_0123456700().shard_path();
    EXPECT_EQ(shard.native(), "01/23/45/67" + std::string(32, '0'));
    EXPECT_EQ(shard.native().size(), 43u);
    EXPECT_TRUE(shard.is_relative());
    EXPECT_EQ(std::distance(shard.begin(), shard.end()), 4);
    EXPECT_EQ(store_path_of("/store", id_0123456700()).native(), "/store/01/23/45/67" + std::string(32, '0'));
    EXPECT_EQ(store_path_of("rel/", sample_parent()).native(),
              "rel/01/02/03/0405060708090a0b0c0d0e0f1011121314");
}

TEST(ContentPath, ParsesBackTheShardPathUnderAnyRoot) {
    const std::string shard = sample_parent().shard_path().native();
    std::string doubled = shard;
    for (std::size_t at = doubled.find('/'); at != std::string::npos; at = doubled.find('/', at + 2))
        doubled.insert(at, "/");
    std::string dotted = shard;
    for (std::size_t at = dotted.find('/'); at != std::string::npos; at = dotted.find('/', at + 3))
        dotted.insert(at + 1, "./");
    for (const std::string root :
         {"", "/", "store/", "/srv/data/", "./", "../up/", "a/b/c/d/e/", "/x/.metadat/"}) {
        for (const std::string& rest : {shard, shard + "/", doubled, dotted, "./" + shard + "/."}) {
            const auto parsed = parse_content_path(root + rest);
            ASSERT_TRUE(parsed) << root + rest << ": " << parsed.error().message();
            EXPECT_EQ(*parsed, sample_parent()) << root + rest;
        }
    }
}

TEST(ContentPath, UpperCaseNamesTheSameId) {
    std::string upper = "/root/" + sample_parent().shard_path().native();
    std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) { return std::toupper(c); });
    EXPECT_EQ(parse_content_path(upper).value(), sample_parent());
    EXPECT_EQ(parse_content_path("AB/CD/EF/" + std::string(34, 'F')).value().to_hex(),
              "abcdef" + std::string(34, 'f'));
}

// What a failed parse reports, flattened for the table.
struct Failure {
    std::string kind;
    std::size_t number = 0;  // count, index or component
    std::optional<std::size_t> wrong_length;
    std::optional<std::size_t> invalid_digit;
    std::size_t expected_digits = 0;
    bool operator==(const Failure&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Failure& f) {
    os << f.kind << " " << f.number;
    if (f.wrong_length) os << " wrong length " << *f.wrong_length;
    if (f.invalid_digit) os << " invalid digit " << *f.invalid_digit;
    return os << " expected " << f.expected_digits;
}

Failure plain(std::string kind, std::size_t number = 0) {
    return {std::move(kind), number, {}, {}, 0};
}

Failure failure_of(const PathLayoutError& e) {
    if (e.get_if<PathLayoutError::MetadataPath>()) return plain("MetadataPath");
    if (const auto* k = e.get_if<PathLayoutError::TooFewComponents>())
        return plain("TooFewComponents", k->count);
    if (const auto* k = e.get_if<PathLayoutError::NonUtf8Component>())
        return plain("NonUtf8Component", k->index);
    const auto& hex = *e.get_if<PathLayoutError::Hex>();
    Failure f = plain("Hex", hex.component);
    f.expected_digits = hex.source.expected_digits();
    if (const auto* k = hex.source.get_if<HexError::WrongLength>()) f.wrong_length = k->found;
    if (const auto* k = hex.source.get_if<HexError::InvalidDigit>()) f.invalid_digit = k->position;
    return f;
}

Failure hex_wrong_length(std::size_t component, std::size_t found, std::size_t expected) {
    return {"Hex", component, found, {}, expected};
}
Failure hex_invalid_digit(std::size_t component, std::size_t position, std::size_t expected) {
    return {"Hex", component, {}, position, expected};
}

TEST(ContentPath, RejectsWhatIsNotAContentPath) {
    const struct {
        std::string path;
        Failure expected;
    } cases[] = {
        {"root/.metadata/ab/cd/ef/" + DIGITS34, plain("MetadataPath")},
        {"ab/cd/ef/" + DIGITS34 + "/.metadata", plain("MetadataPath")},
        {".metadata", plain("MetadataPath")},
        {"ab/cd/ef", plain("TooFewComponents", 3)},
        {"/", plain("TooFewComponents", 0)},
        {"", plain("TooFewComponents", 0)},
        {"./././/", plain("TooFewComponents", 0)},
        {"/ab//cd/./" + DIGITS34 + "/", plain("TooFewComponents", 3)},
        {"../cd/ef/" + DIGITS34, hex_invalid_digit(0, 0, 2)},
        {"ab/cd/e/" + DIGITS34, hex_wrong_length(2, 1, 2)},
        {"ab/cd/ef/" + DIGITS34.substr(1), hex_wrong_length(3, 33, 34)},
        {"ab/cd/ef/" + DIGITS34 + "0", hex_wrong_length(3, 35, 34)},
        {"ab/cd/ef/.METADATA", hex_wrong_length(3, 9, 34)},
        {"ab/cd/ef/" + DIGITS34.substr(0, 33) + "g", hex_invalid_digit(3, 33, 34)},
        {"ab/c\xC3\xA9/ef/" + DIGITS34, hex_wrong_length(1, 3, 2)},
        {"ab/\xFF\xFE/ef/" + DIGITS34, plain("NonUtf8Component", 1)},
        {"ab/cd/ef/" + DIGITS34.substr(0, 33) + "\xFF", plain("NonUtf8Component", 3)},
        // Each component is checked completely before the next.
        {"zz/\xFF\xFE/ef/" + DIGITS34, hex_invalid_digit(0, 0, 2)},
        {"\xFF\xFE/cd/ef/zz", plain("NonUtf8Component", 0)},
    };
    for (const auto& c : cases) {
        const auto parsed = parse_content_path(c.path);
        ASSERT_FALSE(parsed) << c.path;
        EXPECT_EQ(failure_of(parsed.error()), c.expected) << c.path;
    }
}

TEST(ContentPath, ErrorsChainToTheirHexError) {
    const auto parsed = parse_content_path("ab/cd/e/" + DIGITS34);
    ASSERT_FALSE(parsed);
    const PathLayoutError copy = parsed.error();
    ASSERT_NE(copy.source(), nullptr);
    EXPECT_EQ(copy.source()->message(), "HexError { kind: WrongLength { found: 1 }, expected: 2 }");
    EXPECT_EQ(
        copy.message(),
        "PathLayoutError { kind: Hex { source: HexError { kind: WrongLength { found: 1 }, expected: 2 }, "
        "component: 2 } }");
    EXPECT_EQ(parse_content_path("x").error().source(), nullptr);
}

}  // namespace
}  // namespace kro::format
