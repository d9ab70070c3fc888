#include "format/header.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "format/format_fixtures.hpp"
#include "format/hex.hpp"

namespace kro::format {
namespace {

using ::testing::HasSubstr;
using testing::sample_parent;
using testing::sample_seed;

// python3 tests/format/known_answers.py ("header v3/v2 1048577"): parent 01..14, seed a0..af.
constexpr const char* V3_HEADER_1048577 =
    "0102030405060708090a0b0c0d0e0f1011121314a0a1a2a3a4a5a6a7a8a9aaabacadaeaf0000000000100001"
    "8004e9df4ebf3eda4b524f0301011400";
constexpr const char* V2_HEADER_1048577 =
    "0102030405060708090a0b0c0d0e0f1011121314a0a1a2a3a4a5a6a7a8a9aaabacadaeaf0000000000100001"
    "4741df5a4b4b0ea80000000000000000";

HeaderBytes encoded(FormatVersion version, uint64_t file_length = 1048577) {
    return Header::make(sample_parent(), sample_seed(), file_length, version).value().encode();
}

// Recomputes bytes 44..52 the way a writer that knew the altered fields would have.
void rechecksum(HeaderBytes& bytes) {
    const bool v3 = std::equal(V3_MARKER.begin(), V3_MARKER.end(), bytes.begin() + 52);
    const HeaderChecksum sum = header_checksum(bytes, v3 ? FormatVersion::V3 : FormatVersion::V2);
    std::copy(sum.begin(), sum.end(), bytes.begin() + 44);
}

void set_length(HeaderBytes& bytes, uint64_t length) {
    for (int i = 0; i < 8; ++i) bytes[36 + i] = static_cast<uint8_t>(length >> (56 - 8 * i));
}

TEST(Header, EncodesKnownAnswers) {
    EXPECT_EQ(encode_hex(encoded(FormatVersion::V3)), V3_HEADER_1048577);
    EXPECT_EQ(encode_hex(encoded(FormatVersion::V2)), V2_HEADER_1048577);
}

TEST(Header, RoundTripsBothVersionsAndIgnoresTrailingBytes) {
    for (const FormatVersion version : {FormatVersion::V2, FormatVersion::V3}) {
        for (const uint64_t length : {uint64_t{60}, uint64_t{1048577}, ~uint64_t{0}}) {
            const Header header = Header::make(sample_parent(), sample_seed(), length, version).value();
            const HeaderBytes bytes = header.encode();
            std::vector<uint8_t> longer(bytes.begin(), bytes.end());
            longer.resize(200, 0xEE);
            for (const auto& input : {std::vector<uint8_t>(bytes.begin(), bytes.end()), longer}) {
                const auto parsed = Header::parse(input);
                ASSERT_TRUE(parsed) << parsed.error().message();
                EXPECT_EQ(parsed->parent(), sample_parent());
                EXPECT_EQ(parsed->seed(), sample_seed());
                EXPECT_EQ(parsed->file_length(), length);
                EXPECT_EQ(parsed->version(), version);
            }
            EXPECT_EQ(Header::from_raw(RawHeader(bytes)).value(), header);
        }
    }
}

TEST(Header, ConstructorsCheckTheLength) {
    const auto too_small = Header::make_v3(FileId{}, ContentSeed{}, 0);
    ASSERT_FALSE(too_small);
    ASSERT_NE(too_small.error().get_if<HeaderError::LengthTooSmall>(), nullptr);
    EXPECT_EQ(too_small.error().get_if<HeaderError::LengthTooSmall>()->file_length, 0u);
    EXPECT_EQ(too_small.error().message(), "file length 0 is smaller than the 60-byte header");
    EXPECT_FALSE(Header::make_v2(FileId{}, ContentSeed{}, 59));
    EXPECT_EQ(Header::make_v2(FileId{}, ContentSeed{}, 60).value().version(), FormatVersion::V2);
    EXPECT_EQ(Header::make_v3(FileId{}, ContentSeed{}, 60).value().version(), FormatVersion::V3);
    // A root file: the all-zero parent is valid.
    EXPECT_TRUE(Header::parse(Header::make_v3(FileId{}, sample_seed(), 60).value().encode()));
}

TEST(Header, TruncatedInput) {
    const HeaderBytes bytes = encoded(FormatVersion::V3);
    for (const std::size_t len : {std::size_t{0}, std::size_t{1}, std::size_t{59}}) {
        const auto parsed = Header::parse(std::span(bytes).first(len));
        ASSERT_FALSE(parsed);
        ASSERT_NE(parsed.error().get_if<HeaderError::Truncated>(), nullptr);
        EXPECT_EQ(parsed.error().get_if<HeaderError::Truncated>()->len, len);
        EXPECT_EQ(parsed.error().message(), fmt::format("header truncated: need 60 bytes, got {}", len));
    }
}

TEST(Header, ValidationFailuresInOrder) {
    const struct {
        const char* name;
        FormatVersion version;
        std::function<void(HeaderBytes&)> damage;
        bool rechecksum;
        std::size_t kind;  // index into HeaderErrorKind
        std::string message;
    } cases[] = {
        {"unknown descriptor, checksum not consulted", FormatVersion::V2, [](HeaderBytes& b) { b[59] = 1; },
         false, 2, "unknown header format descriptor 0000000000000001"},
        {"marker prefix only", FormatVersion::V2,
         [](HeaderBytes& b) { b[52] = 'K', b[53] = 'R', b[54] = 'O'; }, true, 2,
         "unknown header format descriptor 4b524f0000000000"},
        {"damaged v3 marker", FormatVersion::V3, [](HeaderBytes& b) { b[55] = 2; }, true, 2,
         "unknown header format descriptor 4b524f0201011400"},
        {"v2 turned v3 without a new checksum", FormatVersion::V2,
         [](HeaderBytes& b) {
             const uint8_t d[] = {0x4B, 0x52, 0x4F, 0x03, 0x01, 0x01, 0x14, 0x00};
             std::copy(std::begin(d), std::end(d), b.begin() + 52);
         },
         false, 1, "header checksum mismatch: stored 4741df5a4b4b0ea8, computed 8004e9df4ebf3eda"},
        {"v3 turned v2 without a new checksum", FormatVersion::V3,
         [](HeaderBytes& b) { std::fill(b.begin() + 52, b.end(), 0); }, false, 1,
         "header checksum mismatch: stored 8004e9df4ebf3eda, computed 4741df5a4b4b0ea8"},
        {"v3 descriptor altered without a new checksum", FormatVersion::V3, [](HeaderBytes& b) { b[59] = 1; },
         false, 1, ""},
        {"flipped parent bit", FormatVersion::V2, [](HeaderBytes& b) { b[0] ^= 0x80; }, false, 1, ""},
        {"file-ID scheme before content scheme", FormatVersion::V3,
         [](HeaderBytes& b) { b[56] = 2, b[57] = 2; }, true, 3, "unsupported KRO v3 file-ID scheme 2"},
        {"content scheme", FormatVersion::V3, [](HeaderBytes& b) { b[57] = 7; }, true, 4,
         "unsupported KRO v3 content scheme 7"},
        {"block size", FormatVersion::V3, [](HeaderBytes& b) { b[58] = 21; }, true, 5,
         "unsupported KRO v3 file-block log2 size 21"},
        {"flags 0x0a", FormatVersion::V3, [](HeaderBytes& b) { b[59] = 0x0a; }, true, 6,
         "unsupported KRO v3 flags 0x0a"},
        {"flags 0xff", FormatVersion::V3, [](HeaderBytes& b) { b[59] = 0xff; }, true, 6,
         "unsupported KRO v3 flags 0xff"},
        {"flags 0x05", FormatVersion::V3, [](HeaderBytes& b) { b[59] = 0x05; }, true, 6,
         "unsupported KRO v3 flags 0x05"},
        {"descriptor before length", FormatVersion::V3, [](HeaderBytes& b) { set_length(b, 0), b[58] = 0; },
         true, 5, "unsupported KRO v3 file-block log2 size 0"},
        {"v3 length 59", FormatVersion::V3, [](HeaderBytes& b) { set_length(b, 59); }, true, 7,
         "file length 59 is smaller than the 60-byte header"},
        {"v2 length 0", FormatVersion::V2, [](HeaderBytes& b) { set_length(b, 0); }, true, 7,
         "file length 0 is smaller than the 60-byte header"},
    };
    for (const auto& c : cases) {
        HeaderBytes bytes = encoded(c.version);
        c.damage(bytes);
        if (c.rechecksum) rechecksum(bytes);
        const auto parsed = Header::parse(bytes);
        const auto from_raw = Header::from_raw(RawHeader(bytes));
        ASSERT_FALSE(parsed) << c.name;
        ASSERT_FALSE(from_raw) << c.name;
        EXPECT_EQ(parsed.error().kind().index(), c.kind) << c.name;
        EXPECT_EQ(from_raw.error().message(), parsed.error().message()) << c.name;
        if (!c.message.empty()) {
            EXPECT_EQ(parsed.error().message(), c.message) << c.name;
        }
    }
}

TEST(Header, ChecksumMismatchCarriesBothValues) {
    HeaderBytes bytes = encoded(FormatVersion::V3);
    bytes[20] ^= 1;
    const auto parsed = Header::parse(bytes);
    ASSERT_FALSE(parsed);
    const auto* k = parsed.error().get_if<HeaderError::ChecksumMismatch>();
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(encode_hex(k->stored), "8004e9df4ebf3eda");
    EXPECT_EQ(k->computed, header_checksum(bytes, FormatVersion::V3));
    EXPECT_NE(k->computed, k->stored);
}

TEST(Header, LengthSixtyIsAFileWithNoContent) {
    HeaderBytes bytes = encoded(FormatVersion::V3);
    set_length(bytes, 60);
    rechecksum(bytes);
    EXPECT_EQ(Header::parse(bytes).value().file_length(), 60u);
}

TEST(Header, ChecksumCoversTheV3DescriptorButNotTheV2ReservedBytes) {
    HeaderBytes bytes = encoded(FormatVersion::V2);
    const HeaderChecksum v2 = header_checksum(bytes, FormatVersion::V2);
    bytes[59] = 0x77;
    EXPECT_EQ(header_checksum(bytes, FormatVersion::V2), v2);
    const HeaderChecksum v3 = header_checksum(bytes, FormatVersion::V3);
    bytes[59] = 0x78;
    EXPECT_NE(header_checksum(bytes, FormatVersion::V3), v3);
    bytes[44] ^= 0xFF;  // the checksum field itself is never hashed
    EXPECT_EQ(header_checksum(bytes, FormatVersion::V2), v2);
}

TEST(Header, DetectAndCheckDescriptorDirectly) {
    HeaderBytes bytes = encoded(FormatVersion::V3);
    bytes[56] = 9;  // judged by the descriptor check, not by detection
    EXPECT_EQ(detect_format_version(bytes).value(), FormatVersion::V3);
    const auto check = check_v3_descriptor(bytes);
    ASSERT_FALSE(check);
    EXPECT_EQ(check.error().message(), "unsupported KRO v3 file-ID scheme 9");
    EXPECT_TRUE(check_v3_descriptor(encoded(FormatVersion::V3)));
    EXPECT_EQ(detect_format_version(encoded(FormatVersion::V2)).value(), FormatVersion::V2);
}

TEST(RawHeader, AccessorsReadTheirBytesWithoutValidating) {
    HeaderBytes bytes = encoded(FormatVersion::V3);
    set_length(bytes, 7);
    const RawHeader raw(bytes);
    EXPECT_EQ(raw.parent(), sample_parent());
    EXPECT_EQ(raw.content_seed(), sample_seed());
    EXPECT_EQ(raw.file_length(), 7u);
    EXPECT_EQ(encode_hex(raw.stored_checksum()), "8004e9df4ebf3eda");
    EXPECT_EQ(encode_hex(raw.descriptor()), "4b524f0301011400");
    EXPECT_FALSE(raw.reserved_is_zero());
    EXPECT_EQ(raw.format_version().value(), FormatVersion::V3);
    EXPECT_FALSE(raw.checksum_valid());  // the length changed
    EXPECT_TRUE(RawHeader(encoded(FormatVersion::V2)).reserved_is_zero());
}

TEST(RawHeader, ChecksumChoiceFollowsTheMarkerOnly) {
    // An unknown descriptor is hashed like v2: bytes 0..44 only.
    HeaderBytes unknown = encoded(FormatVersion::V2);
    unknown[53] = 0x10;
    const RawHeader raw_unknown(unknown);
    EXPECT_TRUE(raw_unknown.checksum_valid());
    EXPECT_EQ(raw_unknown.computed_checksum(), header_checksum(unknown, FormatVersion::V2));
    const auto version = raw_unknown.format_version();
    ASSERT_FALSE(version);
    EXPECT_EQ(version.error().message(), "unknown header format descriptor 0010000000000000");

    // The marker with any other bytes is hashed over 52 bytes, so the checksum can be valid for a
    // header that validation rejects.
    HeaderBytes flagged = encoded(FormatVersion::V3);
    flagged[59] = 0xff;
    rechecksum(flagged);
    const RawHeader raw_flagged(flagged);
    EXPECT_TRUE(raw_flagged.checksum_valid());
    EXPECT_EQ(Header::from_raw(raw_flagged).error().message(), "unsupported KRO v3 flags 0xff");
}

TEST(Header, DebugAndDisplayForms) {
    HeaderBytes bytes = encoded(FormatVersion::V3);
    bytes[0] ^= 1;
    const HeaderError e = Header::parse(bytes).error();
    EXPECT_THAT(e.debug(),
                ::testing::StartsWith("HeaderError { kind: ChecksumMismatch { stored: [128, 4, 233, 223, "
                                      "78, 191, 62, 218], computed: ["));
    EXPECT_THAT(e.debug(), HasSubstr(", backtrace: "));
    EXPECT_EQ(e.source(), nullptr);
    EXPECT_EQ(base::error_chain(e), e.message());
    EXPECT_EQ(debug_string(HeaderError::LengthTooSmall{5}), "LengthTooSmall { file_length: 5 }");
    EXPECT_EQ(debug_string(HeaderError::Truncated{3}), "Truncated { len: 3 }");
    EXPECT_EQ(debug_string(HeaderError::UnsupportedFlags{10}), "UnsupportedFlags { found: 10 }");
    EXPECT_EQ(debug_string(HeaderError::UnknownFormat{{1, 0, 0, 0, 0, 0, 0, 2}}),
              "UnknownFormat { descriptor: [1, 0, 0, 0, 0, 0, 0, 2] }");
    EXPECT_EQ(fmt::format("{}|{:>8}|{:<5}", FormatVersion::V2, FormatVersion::V3, FormatVersion::V2),
              "v2|v3|v2");
}

}  // namespace
}  // namespace kro::format
