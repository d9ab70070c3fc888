#include "format/hex.hpp"

#include <fmt/format.h>

#include "base/errors/panic.hpp"

namespace kro::format {

namespace {

constexpr char DIGITS[] = "0123456789abcdef";

int nibble_of(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decodes exactly N bytes from 2 × N digits.
template <std::size_t N>
std::expected<std::array<uint8_t, N>, HexError> decode_fixed(std::string_view text) {
    std::array<uint8_t, N> out;
    if (auto decoded = decode_hex_into(text, out); !decoded)
        return std::unexpected(std::move(decoded.error()));
    return out;
}

std::string kind_debug(const HexError::Kind& kind) {
    if (const auto* k = std::get_if<HexError::WrongLength>(&kind))
        return fmt::format("WrongLength {{ found: {} }}", k->found);
    return fmt::format("InvalidDigit {{ position: {} }}", std::get<HexError::InvalidDigit>(kind).position);
}

}  // namespace

std::string encode_hex(std::span<const uint8_t> bytes) {
    std::string out(2 * bytes.size(), '\0');
    encode_hex_into(bytes, out);
    return out;
}

std::string_view encode_hex_into(std::span<const uint8_t> bytes, std::span<char> out) {
    base::assert_eq(out.size(), 2 * bytes.size(), "hex needs two chars per byte");
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        out[2 * i] = DIGITS[bytes[i] >> 4];
        out[2 * i + 1] = DIGITS[bytes[i] & 0x0F];
    }
    return {out.data(), out.size()};
}

// Every character before the first offending one is an ASCII digit, so its byte index is also
// its position in characters.
std::expected<void, HexError> decode_hex_into(std::string_view text, std::span<uint8_t> out) {
    const std::size_t digits = 2 * out.size();
    if (text.size() != digits) return std::unexpected(HexError(HexError::WrongLength{text.size()}, digits));
    for (std::size_t i = 0; i < out.size(); ++i) {
        const int high = nibble_of(text[2 * i]);
        if (high < 0) return std::unexpected(HexError(HexError::InvalidDigit{2 * i}, digits));
        const int low = nibble_of(text[2 * i + 1]);
        if (low < 0) return std::unexpected(HexError(HexError::InvalidDigit{2 * i + 1}, digits));
        out[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return {};
}

std::string HexError::message() const {
    return fmt::format("HexError {{ kind: {}, expected: {} }}", kind_debug(kind()), expected_digits_);
}

std::string HexError::debug() const {
    return fmt::format("HexError {{ kind: {}, expected: {}, backtrace: {} }}", kind_debug(kind()),
                       expected_digits_, backtrace().debug());
}

std::expected<uint8_t, HexError> decode_hex_1(std::string_view text) {
    auto out = decode_fixed<1>(text);
    if (!out) return std::unexpected(std::move(out.error()));
    return (*out)[0];
}

std::expected<std::array<uint8_t, 17>, HexError> decode_hex_17(std::string_view text) {
    return decode_fixed<17>(text);
}

}  // namespace kro::format
