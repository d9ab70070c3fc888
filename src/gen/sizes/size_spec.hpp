#pragma once
// How large generated files are: a fixed size, a uniform inclusive range, or a lognormal or
// Pareto distribution limited to a band. `parse_size_spec` reads the `--file-size` text,
// `parse_byte_size` a plain byte count ("4096", "1.5MB"); both report every failure as a
// `ParseSizeError` whose message the command line shows as is. The display of a `SizeSpec` is
// its canonical text, which parses back to the same value. All types are plain values.

#include <fmt/format.h>

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/errors/boxed_error.hpp"
#include "format/header.hpp"

namespace kro::gen {

// Every file holds at least its header: the default `Min` of a band and the smallest one
// accepted, and the size every sampled size is raised to.
inline constexpr uint64_t MIN_FILE_SIZE = format::HEADER_LEN;

// Inclusive bounds of a distribution's accepted sizes; every band built here has
// MIN_FILE_SIZE <= min < max.
struct Band {
    uint64_t min = 0;
    uint64_t max = 0;

    bool operator==(const Band&) const = default;
    std::string debug() const;
};

struct SizeSpec;
class SizeSpecError;
class ParseSizeError;

struct SizeSpec {
    // Every file has this many bytes (0 included; generation raises sizes to the header length).
    struct Fixed {
        uint64_t value = 0;
        bool operator==(const Fixed&) const = default;
    };
    // Uniform over start..=end.
    struct Range {
        uint64_t start = 0;
        uint64_t end = 0;
        bool operator==(const Range&) const = default;
        // With `end_excluded` the range is start..end.
        static std::expected<SizeSpec, SizeSpecError> make(uint64_t start, uint64_t end, bool end_excluded);
    };
    struct LogNormal {
        uint64_t median = 0;
        double sigma = 0;
        Band band;
        bool operator==(const LogNormal&) const = default;
        static std::expected<SizeSpec, SizeSpecError> make(uint64_t median, Band band, double sigma);
    };
    struct Pareto {
        double alpha = 0;
        Band band;
        bool operator==(const Pareto&) const = default;
        static std::expected<SizeSpec, SizeSpecError> make(Band band, double alpha);
    };
    using Kind = std::variant<Fixed, Range, LogNormal, Pareto>;

    Kind kind;

    // The `--file-size` value parser; the same as parse_size_spec.
    static std::expected<SizeSpec, ParseSizeError> from_str(std::string_view text);

    bool operator==(const SizeSpec&) const = default;
    // The canonical form: plain decimal numbers, never a unit ("Type=pareto,Min=60,Max=1048576,Alpha=1.5").
    std::string display() const;
    std::string debug() const;
};

using SizeSpecKind = SizeSpec::Kind;

// A byte count shown with the largest unit that divides it exactly ("5MB", "1536KB", "1000").
struct ByteSize {
    uint64_t bytes = 0;
    std::string display() const;
};

// The kinds of SizeSpecError.
struct SizeSpecErrorKind {
    struct EmptyRange {
        uint64_t start = 0;
        uint64_t end = 0;
    };
    struct EmptyExclusiveStart {};
    struct EmptyExclusiveEnd {};
    struct BandTooLow {};
    struct EmptyBand {
        uint64_t min = 0;
        uint64_t max = 0;
    };
    struct InvalidParameter {
        std::string name;
        std::string requirement;
    };
    using Value = std::variant<EmptyRange, EmptyExclusiveStart, EmptyExclusiveEnd, BandTooLow, EmptyBand,
                               InvalidParameter>;
};

// A spec that cannot exist: an empty range or band, a band below the header, a bad parameter.
class SizeSpecError final : public base::BoxedError<SizeSpecErrorKind::Value>, public SizeSpecErrorKind {
  public:
    using BoxedError::BoxedError;

    std::string message() const override;
    std::string debug() const override;
};

// Why a text is not an unsigned 64-bit integer.
class IntegerParseError final : public base::Error {
  public:
    // TooSmall and Zero are for the signed and non-zero integer options of the command line.
    enum class Kind { Empty, InvalidDigit, TooLarge, TooSmall, Zero };
    explicit IntegerParseError(Kind kind) : kind_(kind) {}
    Kind kind() const { return kind_; }
    std::string message() const override;
    std::string debug() const override;

  private:
    Kind kind_;
};

// The kinds of ParseSizeError.
struct ParseSizeErrorKind {
    struct InvalidInteger {
        std::string input;
        IntegerParseError source;
    };
    struct InvalidDecimal {
        std::string input;
    };
    struct DecimalWithoutSuffix {
        std::string input;
    };
    struct Overflow {
        std::string input;
    };
    struct UnknownSpec {
        std::string input;
    };
    struct MalformedRange {
        std::string input;
    };
    struct MissingType {};
    struct UnknownType {
        std::string name;
    };
    struct RemovedType {
        std::string name;
    };
    struct MalformedParameter {
        std::string item;
    };
    struct UnknownParameter {
        std::string type_name;
        std::string name;
        std::vector<std::string> accepted;
    };
    struct MissingParameter {
        std::string type_name;
        std::string name;
    };
    struct NotAByteSize {
        std::string name;
    };
    struct InvalidNumber {
        std::string name;
        std::string input;
    };
    struct InvalidSpec {
        SizeSpecError source;
    };
    using Value = std::variant<InvalidInteger, InvalidDecimal, DecimalWithoutSuffix, Overflow, UnknownSpec,
                               MalformedRange, MissingType, UnknownType, RemovedType, MalformedParameter,
                               UnknownParameter, MissingParameter, NotAByteSize, InvalidNumber, InvalidSpec>;
};

// A `--file-size` or byte-size text that does not parse.
class ParseSizeError final : public base::BoxedError<ParseSizeErrorKind::Value>, public ParseSizeErrorKind {
  public:
    using BoxedError::BoxedError;

    std::string message() const override;
    // InvalidInteger: the integer parse error; InvalidSpec: the SizeSpecError; otherwise none.
    const base::Error* source() const override;
    std::string debug() const override;
};

// A recognised unit at the end of a text: the text before it, unchanged, and its multiplier.
struct SizeSuffix {
    std::string_view number;
    uint64_t multiplier = 1;
};

// "KB", "MB", "GB" or "TB" in any ASCII letter case as the last two bytes.
std::optional<SizeSuffix> split_size_suffix(std::string_view text);
// An optional "+" and decimal digits; failures name `whole`, the text given to parse_byte_size.
std::expected<uint64_t, ParseSizeError> parse_integer_size(std::string_view number, std::string_view whole);
// Digits around one "." times the multiplier, truncated; failures name `whole`.
std::expected<uint64_t, ParseSizeError> parse_decimal_size(std::string_view number, uint64_t multiplier,
                                                           std::string_view whole);
// A byte count: an integer, or an integer or decimal with a unit ("4096", "4KB", "1.5MB").
std::expected<uint64_t, ParseSizeError> parse_byte_size(std::string_view text);
// A `--file-size` text: "4096", "1MB-5MB", "Type=pareto,Max=1MB,Alpha=1.5", ...
std::expected<SizeSpec, ParseSizeError> parse_size_spec(std::string_view text);

}  // namespace kro::gen

template <>
struct fmt::formatter<kro::gen::SizeSpec> : fmt::formatter<std::string_view> {
    auto format(const kro::gen::SizeSpec& spec, format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(spec.display(), ctx);
    }
};

template <>
struct fmt::formatter<kro::gen::ByteSize> : fmt::formatter<std::string_view> {
    auto format(const kro::gen::ByteSize& size, format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(size.display(), ctx);
    }
};
