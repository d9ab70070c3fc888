#pragma once
// Lower-case hex, as used for file IDs, seeds and checksums, and the fixed-length decoders that
// read shard directory names, content file names and chain-tip marker names (either case).
// Pure functions.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "base/errors/boxed_error.hpp"

namespace kro::format {

// 2 × bytes.size() lower-case digits, high nibble first.
std::string encode_hex(std::span<const uint8_t> bytes);

// Writes the digits into `out`, which must be exactly twice as long as `bytes` (a broken
// invariant otherwise), and returns them as text.
std::string_view encode_hex_into(std::span<const uint8_t> bytes, std::span<char> out);

// The kinds of HexError.
struct HexErrorKind {
    struct WrongLength {
        std::size_t found;  // input length in bytes
    };
    struct InvalidDigit {
        std::size_t position;  // characters before the first offending one
    };
    using Value = std::variant<WrongLength, InvalidDigit>;
};

// Callers describe the offending value in their own words; message() is only a diagnostic form.
class HexError final : public base::BoxedError<HexErrorKind::Value>, public HexErrorKind {
  public:
    HexError(Kind kind, std::size_t expected_digits)
        : BoxedError(std::move(kind)), expected_digits_(expected_digits) {}

    // 2, 34 or 40.
    std::size_t expected_digits() const { return expected_digits_; }

    // "HexError { kind: WrongLength { found: 1 }, expected: 2 }".
    std::string message() const override;
    std::string debug() const override;

  private:
    std::size_t expected_digits_;
};

std::expected<uint8_t, HexError> decode_hex_1(std::string_view text);
std::expected<std::array<uint8_t, 17>, HexError> decode_hex_17(std::string_view text);

// Decodes exactly out.size() bytes from twice as many digits (either case) into `out`.
std::expected<void, HexError> decode_hex_into(std::string_view text, std::span<uint8_t> out);

}  // namespace kro::format
