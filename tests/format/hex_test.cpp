#include "format/hex.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "format/file_id.hpp"
#include "format/format_fixtures.hpp"

namespace kro::format {
namespace {

using ::testing::HasSubstr;

TEST(Hex, EncodesLowerCaseHighNibbleFirst) {
    const struct {
        std::vector<uint8_t> bytes;
        std::string hex;
    } cases[] = {
        {{}, ""},
        {{0xAB}, "ab"},
        {{0x00, 0x0F, 0xF0}, "000ff0"},
        {{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}, "0123456789abcdef"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(encode_hex(c.bytes), c.hex);
        std::string out(c.hex.size(), '?');
        EXPECT_EQ(encode_hex_into(c.bytes, out), c.hex);
        EXPECT_EQ(out, c.hex);
    }
}

TEST(Hex, EncodeIntoABufferOfTheWrongLengthIsABrokenInvariant) {
    const std::vector<uint8_t> bytes = {1, 2, 3};
    std::string out(5, '?');
    const std::string message = testing::panic_message([&] { encode_hex_into(bytes, out); });
    EXPECT_THAT(message, HasSubstr("hex needs two chars per byte"));
    EXPECT_THAT(message, HasSubstr("left: 5"));
    EXPECT_THAT(message, HasSubstr("right: 6"));
}

// The outcome of one decode, reduced to what the table compares.
struct Outcome {
    std::vector<uint8_t> bytes;
    std::optional<std::size_t> wrong_length;
    std::optional<std::size_t> invalid_digit;
    std::size_t expected_digits = 0;
    bool operator==(const Outcome&) const = default;
};

template <typename T>
Outcome outcome_of(const std::expected<T, HexError>& result) {
    Outcome o;
    if (result) {
        if constexpr (std::is_same_v<T, uint8_t>) {
            o.bytes = {*result};
        } else if constexpr (std::is_same_v<T, FileId>) {
            o.bytes.assign(result->bytes.begin(), result->bytes.end());
        } else {
            o.bytes.assign(result->begin(), result->end());
        }
        return o;
    }
    o.expected_digits = result.error().expected_digits();
    if (const auto* k = result.error().template get_if<HexError::WrongLength>()) o.wrong_length = k->found;
    if (const auto* k = result.error().template get_if<HexError::InvalidDigit>())
        o.invalid_digit = k->position;
    return o;
}

Outcome decode(int digits_of, const std::string& text) {
    switch (digits_of) {
        case 1:
            return outcome_of(decode_hex_1(text));
        case 17:
            return outcome_of(decode_hex_17(text));
        default:
            return outcome_of(decode_hex_20(text));
    }
}

Outcome ok(std::vector<uint8_t> bytes) {
    return Outcome{std::move(bytes), {}, {}, 0};
}
Outcome wrong_length(std::size_t found, std::size_t expected) {
    return Outcome{{}, found, {}, expected};
}
Outcome invalid_digit(std::size_t position, std::size_t expected) {
    return Outcome{{}, {}, position, expected};
}

TEST(Hex, FixedLengthDecoders) {
    const std::string zeros32(32, '0');
    const std::string e_acute = "\xC3\xA9";  // a two-byte letter
    const std::vector<uint8_t> ab17(17, 0xAB);
    std::vector<uint8_t> id20 = {0x01, 0x23, 0x45, 0x67};
    id20.resize(20, 0xFE);
    const struct {
        const char* name;
        int decoder;
        std::string text;
        Outcome expected;
    } cases[] = {
        {"mixed case pair", 1, "Ab", ok({0xAB})},
        {"lower", 1, "0f", ok({0x0F})},
        {"one digit", 1, "a", wrong_length(1, 2)},
        {"empty", 1, "", wrong_length(0, 2)},
        {"three digits", 1, "abc", wrong_length(3, 2)},
        {"bad high digit", 1, "g0", invalid_digit(0, 2)},
        {"bad low digit", 1, "0g", invalid_digit(1, 2)},
        {"high checked before low", 1, "zz", invalid_digit(0, 2)},
        {"lower 17", 17,
         "ab"
         "abababababababababababababababab",
         ok(ab17)},
        {"upper 17", 17,
         "AB"
         "ABABABABABABABABABABABABABABABAB",
         ok(ab17)},
        {"two-byte letter first, 34 bytes", 17, e_acute + zeros32, invalid_digit(0, 34)},
        {"34 characters with a two-byte letter", 17, e_acute + zeros32 + "0", wrong_length(35, 34)},
        {"letter after a digit", 17, "0" + e_acute + std::string(31, '0'), invalid_digit(1, 34)},
        {"33 digits", 17, std::string(33, '0'), wrong_length(33, 34)},
        {"bad last digit", 17, std::string(33, '0') + "x", invalid_digit(33, 34)},
        {"file id", 20, "01234567fefefefefefefefefefefefefefefefe", ok(id20)},
        {"file id upper", 20, "01234567FEFEFEFEFEFEFEFEFEFEFEFEFEFEFEFE", ok(id20)},
        {"file id too long", 20, std::string(41, '0'), wrong_length(41, 40)},
        {"file id space", 20, std::string(20, '0') + " " + std::string(19, '0'), invalid_digit(20, 40)},
    };
    for (const auto& c : cases) EXPECT_EQ(decode(c.decoder, c.text), c.expected) << c.name;
}

TEST(Hex, ErrorsHaveOnlyADiagnosticForm) {
    const auto e = decode_hex_1("a");
    ASSERT_FALSE(e);
    EXPECT_EQ(e.error().message(), "HexError { kind: WrongLength { found: 1 }, expected: 2 }");
    EXPECT_EQ(e.error().source(), nullptr);
    EXPECT_THAT(e.error().debug(), HasSubstr("backtrace: "));
}

}  // namespace
}  // namespace kro::format
