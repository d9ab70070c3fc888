#pragma once
// The 60-byte header at the start of every content file: parent FileId, content seed, total file
// length and an 8-byte checksum, then 8 bytes that are reserved zeros in v2 and the format
// descriptor in v3. Header is a validated value (file_length >= HEADER_LEN always holds);
// RawHeader reads single fields out of 60 bytes that may fail validation.
//
// Everything here is pure computation on byte arrays; all types are plain values.

#include <fmt/format.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "base/errors/boxed_error.hpp"
#include "format/file_id.hpp"
#include "format/geometry.hpp"

namespace kro::format {

// "KRO" followed by the byte 3: the first four bytes of a v3 format descriptor.
inline constexpr std::array<uint8_t, 4> V3_MARKER = {0x4B, 0x52, 0x4F, 0x03};
inline constexpr uint8_t V3_FILE_ID_SCHEME = 1;  // KRO-Merkle-BLAKE3-160
inline constexpr uint8_t V3_CONTENT_SCHEME = 1;  // indexed SHAKE-128

using HeaderBytes = std::array<uint8_t, HEADER_LEN>;
using HeaderChecksum = std::array<uint8_t, 8>;
using FormatDescriptor = std::array<uint8_t, 8>;

enum class FormatVersion : uint8_t { V2 = 0, V3 = 1 };

// "v2" or "v3".
std::string_view to_string(FormatVersion version);

// The kinds of HeaderError, in the order in which validation checks them.
struct HeaderErrorKind {
    struct Truncated {
        std::size_t len;
    };
    struct ChecksumMismatch {
        HeaderChecksum stored;
        HeaderChecksum computed;
    };
    struct UnknownFormat {
        FormatDescriptor descriptor;
    };
    struct UnsupportedFileIdScheme {
        uint8_t found;
    };
    struct UnsupportedContentScheme {
        uint8_t found;
    };
    struct UnsupportedBlockSizeLog2 {
        uint8_t found;
    };
    struct UnsupportedFlags {
        uint8_t found;
    };
    struct LengthTooSmall {
        uint64_t file_length;
    };
    using Value =
        std::variant<Truncated, ChecksumMismatch, UnknownFormat, UnsupportedFileIdScheme,
                     UnsupportedContentScheme, UnsupportedBlockSizeLog2, UnsupportedFlags, LengthTooSmall>;
};

class HeaderError final : public base::BoxedError<HeaderErrorKind::Value>, public HeaderErrorKind {
  public:
    using BoxedError::BoxedError;

    std::string message() const override;
    // "HeaderError { kind: ChecksumMismatch { stored: [..], computed: [..] }, backtrace: .. }".
    std::string debug() const override;
};

// The debug form of a kind alone: its variant name and payload fields by name.
std::string debug_string(const HeaderError::Kind& kind);

// The first 8 bytes of SHA3-256 over bytes 0..44 (v2), or bytes 0..44 then 52..60 (v3).
HeaderChecksum header_checksum(std::span<const uint8_t, HEADER_LEN> bytes, FormatVersion version);

// From bytes 52..60: all zero is V2, the v3 marker is V3 (the rest of the descriptor is not
// judged here), anything else is UnknownFormat.
std::expected<FormatVersion, HeaderError> detect_format_version(std::span<const uint8_t, HEADER_LEN> bytes);

// The first unsupported field of a v3 descriptor: file-ID scheme, content scheme, block size
// log2, flags, in that order.
std::expected<void, HeaderError> check_v3_descriptor(std::span<const uint8_t, HEADER_LEN> bytes);

// The 60 header bytes exactly as read, unvalidated; every accessor reads only its own bytes.
class RawHeader {
  public:
    explicit RawHeader(const HeaderBytes& bytes) : bytes_(bytes) {}

    const HeaderBytes& bytes() const { return bytes_; }
    FileId parent() const;
    ContentSeed content_seed() const;
    uint64_t file_length() const;
    HeaderChecksum stored_checksum() const;
    // header_checksum with V3 exactly when bytes 52..56 are the v3 marker, else V2.
    HeaderChecksum computed_checksum() const;
    bool checksum_valid() const;
    std::expected<FormatVersion, HeaderError> format_version() const;
    bool reserved_is_zero() const;
    FormatDescriptor descriptor() const;

  private:
    HeaderBytes bytes_;
};

class Header {
  public:
    // Fails with LengthTooSmall when file_length < HEADER_LEN.
    static std::expected<Header, HeaderError> make(const FileId& parent, const ContentSeed& seed,
                                                   uint64_t file_length, FormatVersion version);
    static std::expected<Header, HeaderError> make_v2(const FileId& parent, const ContentSeed& seed,
                                                      uint64_t file_length);
    static std::expected<Header, HeaderError> make_v3(const FileId& parent, const ContentSeed& seed,
                                                      uint64_t file_length);

    // Validates the first 60 bytes; anything after them is ignored.
    static std::expected<Header, HeaderError> parse(std::span<const uint8_t> bytes);
    // The same checks as parse on the same 60 bytes.
    static std::expected<Header, HeaderError> from_raw(const RawHeader& raw);

    HeaderBytes encode() const;

    const FileId& parent() const { return parent_; }
    const ContentSeed& seed() const { return seed_; }
    uint64_t file_length() const { return file_length_; }
    FormatVersion version() const { return version_; }

    friend bool operator==(const Header&, const Header&) = default;

  private:
    Header(const FileId& parent, const ContentSeed& seed, uint64_t file_length, FormatVersion version)
        : parent_(parent), seed_(seed), file_length_(file_length), version_(version) {}

    FileId parent_;
    ContentSeed seed_;
    uint64_t file_length_;
    FormatVersion version_;
};

}  // namespace kro::format

template <>
struct fmt::formatter<kro::format::FormatVersion> : kro::format::detail::AsIsFormatter {
    auto format(kro::format::FormatVersion version, fmt::format_context& ctx) const {
        const std::string_view text = kro::format::to_string(version);
        return std::copy(text.begin(), text.end(), ctx.out());
    }
};
