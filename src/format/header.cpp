#include "format/header.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "format/big_endian.hpp"
#include "format/digest.hpp"
#include "format/hex.hpp"

namespace kro::format {

namespace {

constexpr std::size_t PARENT_AT = 0;
constexpr std::size_t SEED_AT = 20;
constexpr std::size_t LENGTH_AT = 36;
constexpr std::size_t CHECKSUM_AT = 44;
constexpr std::size_t DESCRIPTOR_AT = 52;

// The descriptor of every v3 header written: marker, file-ID scheme, content scheme, block log2,
// no flags.
constexpr FormatDescriptor V3_DESCRIPTOR = {
    V3_MARKER[0],      V3_MARKER[1],      V3_MARKER[2],    V3_MARKER[3],
    V3_FILE_ID_SCHEME, V3_CONTENT_SCHEME, FILE_BLOCK_LOG2, 0};

using Bytes = std::span<const uint8_t, HEADER_LEN>;

template <std::size_t N>
std::array<uint8_t, N> slice(Bytes bytes, std::size_t at) {
    std::array<uint8_t, N> out;
    std::copy_n(bytes.begin() + at, N, out.begin());
    return out;
}

bool has_v3_marker(Bytes bytes) {
    return std::ranges::equal(bytes.subspan(DESCRIPTOR_AT, 4), V3_MARKER);
}

bool descriptor_is_zero(Bytes bytes) {
    return std::ranges::all_of(bytes.subspan(DESCRIPTOR_AT, 8), [](uint8_t b) { return b == 0; });
}

std::string bytes_debug(std::span<const uint8_t> bytes) {
    return fmt::format("[{}]", fmt::join(bytes, ", "));
}

// The checks shared by both parse entry points, on exactly 60 bytes.
std::expected<Header, HeaderError> validate(Bytes bytes) {
    auto version = detect_format_version(bytes);
    if (!version) return std::unexpected(std::move(version.error()));
    const HeaderChecksum stored = slice<8>(bytes, CHECKSUM_AT);
    const HeaderChecksum computed = header_checksum(bytes, *version);
    if (stored != computed)
        return std::unexpected(HeaderError(HeaderError::ChecksumMismatch{stored, computed}));
    if (*version == FormatVersion::V3) {
        if (auto ok = check_v3_descriptor(bytes); !ok) return std::unexpected(std::move(ok.error()));
    }
    const RawHeader raw(slice<HEADER_LEN>(bytes, 0));
    return Header::make(raw.parent(), raw.content_seed(), raw.file_length(), *version);
}

}  // namespace

std::string_view to_string(FormatVersion version) {
    return version == FormatVersion::V2 ? "v2" : "v3";
}

std::string HeaderError::message() const {
    struct Visitor {
        std::string operator()(const Truncated& k) const {
            return fmt::format("header truncated: need {} bytes, got {}", HEADER_LEN, k.len);
        }
        std::string operator()(const ChecksumMismatch& k) const {
            return fmt::format("header checksum mismatch: stored {}, computed {}", encode_hex(k.stored),
                               encode_hex(k.computed));
        }
        std::string operator()(const UnknownFormat& k) const {
            return fmt::format("unknown header format descriptor {}", encode_hex(k.descriptor));
        }
        std::string operator()(const UnsupportedFileIdScheme& k) const {
            return fmt::format("unsupported KRO v3 file-ID scheme {}", k.found);
        }
        std::string operator()(const UnsupportedContentScheme& k) const {
            return fmt::format("unsupported KRO v3 content scheme {}", k.found);
        }
        std::string operator()(const UnsupportedBlockSizeLog2& k) const {
            return fmt::format("unsupported KRO v3 file-block log2 size {}", k.found);
        }
        std::string operator()(const UnsupportedFlags& k) const {
            return fmt::format("unsupported KRO v3 flags 0x{:02x}", k.found);
        }
        std::string operator()(const LengthTooSmall& k) const {
            return fmt::format("file length {} is smaller than the {}-byte header", k.file_length,
                               HEADER_LEN);
        }
    };
    return std::visit(Visitor{}, kind());
}

std::string debug_string(const HeaderError::Kind& kind) {
    using E = HeaderError;
    struct Visitor {
        std::string operator()(const E::Truncated& k) const {
            return fmt::format("Truncated {{ len: {} }}", k.len);
        }
        std::string operator()(const E::ChecksumMismatch& k) const {
            return fmt::format("ChecksumMismatch {{ stored: {}, computed: {} }}", bytes_debug(k.stored),
                               bytes_debug(k.computed));
        }
        std::string operator()(const E::UnknownFormat& k) const {
            return fmt::format("UnknownFormat {{ descriptor: {} }}", bytes_debug(k.descriptor));
        }
        std::string operator()(const E::UnsupportedFileIdScheme& k) const {
            return fmt::format("UnsupportedFileIdScheme {{ found: {} }}", k.found);
        }
        std::string operator()(const E::UnsupportedContentScheme& k) const {
            return fmt::format("UnsupportedContentScheme {{ found: {} }}", k.found);
        }
        std::string operator()(const E::UnsupportedBlockSizeLog2& k) const {
            return fmt::format("UnsupportedBlockSizeLog2 {{ found: {} }}", k.found);
        }
        std::string operator()(const E::UnsupportedFlags& k) const {
            return fmt::format("UnsupportedFlags {{ found: {} }}", k.found);
        }
        std::string operator()(const E::LengthTooSmall& k) const {
            return fmt::format("LengthTooSmall {{ file_length: {} }}", k.file_length);
        }
    };
    return std::visit(Visitor{}, kind);
}

std::string HeaderError::debug() const {
    return fmt::format("HeaderError {{ kind: {}, backtrace: {} }}", debug_string(kind()),
                       backtrace().debug());
}

HeaderChecksum header_checksum(Bytes bytes, FormatVersion version) {
    // The checksum field is never hashed; the v3 descriptor is, the v2 reserved bytes are not.
    std::array<uint8_t, CHECKSUM_AT + 8> message;
    std::copy_n(bytes.begin(), CHECKSUM_AT, message.begin());
    std::size_t len = CHECKSUM_AT;
    if (version == FormatVersion::V3) {
        std::copy_n(bytes.begin() + DESCRIPTOR_AT, 8, message.begin() + CHECKSUM_AT);
        len += 8;
    }
    const auto digest = sha3_256(std::span<const uint8_t>(message.data(), len));
    HeaderChecksum out;
    std::copy_n(digest.begin(), out.size(), out.begin());
    return out;
}

std::expected<FormatVersion, HeaderError> detect_format_version(Bytes bytes) {
    if (descriptor_is_zero(bytes)) return FormatVersion::V2;
    if (has_v3_marker(bytes)) return FormatVersion::V3;
    return std::unexpected(HeaderError(HeaderError::UnknownFormat{slice<8>(bytes, DESCRIPTOR_AT)}));
}

std::expected<void, HeaderError> check_v3_descriptor(Bytes bytes) {
    const uint8_t file_id_scheme = bytes[56];
    const uint8_t content_scheme = bytes[57];
    const uint8_t block_log2 = bytes[58];
    const uint8_t flags = bytes[59];
    if (file_id_scheme != V3_FILE_ID_SCHEME)
        return std::unexpected(HeaderError(HeaderError::UnsupportedFileIdScheme{file_id_scheme}));
    if (content_scheme != V3_CONTENT_SCHEME)
        return std::unexpected(HeaderError(HeaderError::UnsupportedContentScheme{content_scheme}));
    if (block_log2 != FILE_BLOCK_LOG2)
        return std::unexpected(HeaderError(HeaderError::UnsupportedBlockSizeLog2{block_log2}));
    if (flags != 0) return std::unexpected(HeaderError(HeaderError::UnsupportedFlags{flags}));
    return {};
}

FileId RawHeader::parent() const {
    return FileId{slice<FileId::LEN>(bytes_, PARENT_AT)};
}

ContentSeed RawHeader::content_seed() const {
    return ContentSeed{slice<ContentSeed::LEN>(bytes_, SEED_AT)};
}

uint64_t RawHeader::file_length() const {
    return load_be64(std::span(bytes_).subspan<LENGTH_AT, 8>());
}

HeaderChecksum RawHeader::stored_checksum() const {
    return slice<8>(bytes_, CHECKSUM_AT);
}

HeaderChecksum RawHeader::computed_checksum() const {
    return header_checksum(bytes_, has_v3_marker(bytes_) ? FormatVersion::V3 : FormatVersion::V2);
}

bool RawHeader::checksum_valid() const {
    return stored_checksum() == computed_checksum();
}

std::expected<FormatVersion, HeaderError> RawHeader::format_version() const {
    return detect_format_version(bytes_);
}

bool RawHeader::reserved_is_zero() const {
    return descriptor_is_zero(bytes_);
}

FormatDescriptor RawHeader::descriptor() const {
    return slice<8>(bytes_, DESCRIPTOR_AT);
}

std::expected<Header, HeaderError> Header::make(const FileId& parent, const ContentSeed& seed,
                                                uint64_t file_length, FormatVersion version) {
    if (file_length < HEADER_LEN)
        return std::unexpected(HeaderError(HeaderError::LengthTooSmall{file_length}));
    return Header(parent, seed, file_length, version);
}

std::expected<Header, HeaderError> Header::make_v2(const FileId& parent, const ContentSeed& seed,
                                                   uint64_t file_length) {
    return make(parent, seed, file_length, FormatVersion::V2);
}

std::expected<Header, HeaderError> Header::make_v3(const FileId& parent, const ContentSeed& seed,
                                                   uint64_t file_length) {
    return make(parent, seed, file_length, FormatVersion::V3);
}

std::expected<Header, HeaderError> Header::parse(std::span<const uint8_t> bytes) {
    if (bytes.size() < HEADER_LEN) return std::unexpected(HeaderError(HeaderError::Truncated{bytes.size()}));
    return validate(bytes.first<HEADER_LEN>());
}

std::expected<Header, HeaderError> Header::from_raw(const RawHeader& raw) {
    return validate(raw.bytes());
}

HeaderBytes Header::encode() const {
    HeaderBytes out{};
    std::ranges::copy(parent_.bytes, out.begin() + PARENT_AT);
    std::ranges::copy(seed_.bytes, out.begin() + SEED_AT);
    std::ranges::copy(be64_bytes(file_length_), out.begin() + LENGTH_AT);
    if (version_ == FormatVersion::V3) std::ranges::copy(V3_DESCRIPTOR, out.begin() + DESCRIPTOR_AT);
    // The descriptor is in place before the checksum, which covers it in v3.
    std::ranges::copy(header_checksum(out, version_), out.begin() + CHECKSUM_AT);
    return out;
}

}  // namespace kro::format
