// The size-spec values: validating constructors, canonical display and the error texts.
#include "gen/sizes/size_spec.hpp"

#include <fmt/format.h>

#include <array>
#include <charconv>
#include <cmath>
#include <system_error>

#include "base/errors/panic.hpp"

namespace kro::gen {

namespace {

template <class... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};

// The shortest digits that read back as the same double, written out positionally without an
// exponent and without a trailing ".0" ("1", "0.5", "100000000000000000000000" for 1e23).
std::string plain_double(double value) {
    std::array<char, 64> buf;
    const auto result =
        std::to_chars(buf.data(), buf.data() + buf.size(), value, std::chars_format::scientific);
    if (result.ec != std::errc()) base::panic("a double does not fit its text buffer");
    const std::string_view text(buf.data(), result.ptr);
    if (text.find('e') == std::string_view::npos) return std::string(text);  // inf or nan
    const bool negative = text.front() == '-';
    const std::string_view mantissa = text.substr(negative ? 1 : 0, text.find('e') - (negative ? 1 : 0));
    int exponent = 0;
    const std::string_view exponent_text = text.substr(text.find('e') + 1);
    std::from_chars(exponent_text.data() + (exponent_text.front() == '+' ? 1 : 0),
                    exponent_text.data() + exponent_text.size(), exponent);
    std::string digits;
    for (const char c : mantissa) {
        if (c != '.') digits += c;
    }
    std::string out = negative ? "-" : "";
    if (exponent < 0) {
        out += "0.";
        out.append(static_cast<size_t>(-exponent - 1), '0');
        out += digits;
    } else if (digits.size() <= static_cast<size_t>(exponent) + 1) {
        out += digits;
        out.append(static_cast<size_t>(exponent) + 1 - digits.size(), '0');
    } else {
        out += digits.substr(0, static_cast<size_t>(exponent) + 1);
        out += '.';
        out += digits.substr(static_cast<size_t>(exponent) + 1);
    }
    return out;
}

// The diagnostic form of a double: always a fraction or an exponent ("1.0", "0.5", "1e16", "5e-324").
std::string debug_double(double value) {
    const double magnitude = std::fabs(value);
    if (!std::isfinite(value)) return std::isnan(value) ? "NaN" : (value < 0 ? "-inf" : "inf");
    if (magnitude == 0 || (magnitude >= 1e-4 && magnitude < 1e16)) {
        std::string text = plain_double(value);
        if (text.find('.') == std::string::npos) text += ".0";
        return text;
    }
    std::array<char, 64> buf;
    const auto result =
        std::to_chars(buf.data(), buf.data() + buf.size(), value, std::chars_format::scientific);
    if (result.ec != std::errc()) base::panic("a double does not fit its text buffer");
    std::string text(buf.data(), result.ptr);
    // "1e+16" -> "1e16", "5e-05" -> "5e-5".
    const size_t e = text.find('e');
    std::string exponent = text.substr(e + 1);
    const bool negative = exponent.front() == '-';
    exponent.erase(0, exponent.find_first_not_of("+-"));
    exponent.erase(0, std::min(exponent.find_first_not_of('0'), exponent.size() - 1));
    return text.substr(0, e + 1) + (negative ? "-" : "") + exponent;
}

std::string quote(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
                    out += fmt::format("\\u{{{:x}}}", static_cast<unsigned char>(c));
                } else {
                    out += c;
                }
        }
    }
    out += '"';
    return out;
}

std::expected<SizeSpec, SizeSpecError> check_band(Band band, SizeSpec spec) {
    if (band.min < MIN_FILE_SIZE) return std::unexpected(SizeSpecError(SizeSpecError::BandTooLow{}));
    if (band.min >= band.max)
        return std::unexpected(SizeSpecError(SizeSpecError::EmptyBand{band.min, band.max}));
    return spec;
}

}  // namespace

std::string Band::debug() const {
    return fmt::format("Band {{ min: {}, max: {} }}", min, max);
}

std::expected<SizeSpec, SizeSpecError> SizeSpec::Range::make(uint64_t start, uint64_t end,
                                                             bool end_excluded) {
    if (end_excluded) {
        if (end == 0) return std::unexpected(SizeSpecError(SizeSpecError::EmptyExclusiveEnd{}));
        end -= 1;
    }
    if (end < start) return std::unexpected(SizeSpecError(SizeSpecError::EmptyRange{start, end}));
    return SizeSpec{Range{start, end}};
}

std::expected<SizeSpec, SizeSpecError> SizeSpec::LogNormal::make(uint64_t median, Band band, double sigma) {
    if (median == 0)
        return std::unexpected(SizeSpecError(SizeSpecError::InvalidParameter{"Median", "at least 1"}));
    // Negative zero passes as zero; NaN fails both comparisons.
    if (!(sigma == 0 || (std::isfinite(sigma) && sigma > 0)))
        return std::unexpected(SizeSpecError(SizeSpecError::InvalidParameter{"Sigma", "at least zero"}));
    return check_band(band, SizeSpec{LogNormal{median, sigma, band}});
}

std::expected<SizeSpec, SizeSpecError> SizeSpec::Pareto::make(Band band, double alpha) {
    if (!(std::isfinite(alpha) && alpha > 0))
        return std::unexpected(SizeSpecError(SizeSpecError::InvalidParameter{"Alpha", "greater than zero"}));
    return check_band(band, SizeSpec{Pareto{alpha, band}});
}

std::string SizeSpec::display() const {
    return std::visit(Overloaded{
                          [](const Fixed& f) { return fmt::format("{}", f.value); },
                          [](const Range& r) { return fmt::format("{}-{}", r.start, r.end); },
                          [](const LogNormal& l) {
                              return fmt::format("Type=lognormal,Median={},Sigma={},Min={},Max={}", l.median,
                                                 plain_double(l.sigma), l.band.min, l.band.max);
                          },
                          [](const Pareto& p) {
                              return fmt::format("Type=pareto,Min={},Max={},Alpha={}", p.band.min, p.band.max,
                                                 plain_double(p.alpha));
                          },
                      },
                      kind);
}

std::string SizeSpec::debug() const {
    const std::string inner = std::visit(
        Overloaded{
            [](const Fixed& f) { return fmt::format("Fixed({})", f.value); },
            [](const Range& r) { return fmt::format("Range {{ start: {}, end: {} }}", r.start, r.end); },
            [](const LogNormal& l) {
                return fmt::format("LogNormal {{ median: {}, sigma: {}, band: {} }}", l.median,
                                   debug_double(l.sigma), l.band.debug());
            },
            [](const Pareto& p) {
                return fmt::format("Pareto {{ alpha: {}, band: {} }}", debug_double(p.alpha), p.band.debug());
            },
        },
        kind);
    return fmt::format("SizeSpec {{ kind: {} }}", inner);
}

std::string ByteSize::display() const {
    static constexpr std::array<std::pair<uint64_t, const char*>, 4> units{{
        {1099511627776ULL, "TB"},
        {1073741824ULL, "GB"},
        {1048576ULL, "MB"},
        {1024ULL, "KB"},
    }};
    if (bytes == 0) return "0";
    for (const auto& [multiplier, unit] : units) {
        if (bytes % multiplier == 0) return fmt::format("{}{}", bytes / multiplier, unit);
    }
    return fmt::format("{}", bytes);
}

std::string SizeSpecError::message() const {
    return std::visit(
        Overloaded{
            [](const EmptyRange& e) {
                return fmt::format("empty size range: start {} exceeds end {}", e.start, e.end);
            },
            [](const EmptyExclusiveStart&) {
                return std::string("empty size range: excluded start u64::MAX admits no larger size");
            },
            [](const EmptyExclusiveEnd&) {
                return std::string("empty size range: excluded end 0 admits no smaller size");
            },
            [](const BandTooLow&) {
                return fmt::format("Min must be at least {} bytes, the header size", MIN_FILE_SIZE);
            },
            [](const EmptyBand& e) {
                if (e.min == e.max) {
                    return fmt::format("size band {}..={} holds one size; use --file-size {} instead", e.min,
                                       e.max, ByteSize{e.min}.display());
                }
                return fmt::format("size band {}..={} is empty: Min exceeds Max", e.min, e.max);
            },
            [](const InvalidParameter& e) { return fmt::format("{} must be {}", e.name, e.requirement); },
        },
        kind());
}

std::string SizeSpecError::debug() const {
    const std::string kind_text = std::visit(
        Overloaded{
            [](const EmptyRange& e) {
                return fmt::format("EmptyRange {{ start: {}, end: {} }}", e.start, e.end);
            },
            [](const EmptyExclusiveStart&) { return std::string("EmptyExclusiveStart"); },
            [](const EmptyExclusiveEnd&) { return std::string("EmptyExclusiveEnd"); },
            [](const BandTooLow&) { return std::string("BandTooLow"); },
            [](const EmptyBand& e) { return fmt::format("EmptyBand {{ min: {}, max: {} }}", e.min, e.max); },
            [](const InvalidParameter& e) {
                return fmt::format("InvalidParameter {{ name: {}, requirement: {} }}", quote(e.name),
                                   quote(e.requirement));
            },
        },
        kind());
    return fmt::format("SizeSpecError {{ kind: {}, backtrace: {} }}", kind_text, backtrace().debug());
}

std::string IntegerParseError::message() const {
    switch (kind_) {
        case Kind::Empty:
            return "cannot parse integer from empty string";
        case Kind::InvalidDigit:
            return "invalid digit found in string";
        case Kind::TooLarge:
            return "number too large to fit in target type";
        case Kind::TooSmall:
            return "number too small to fit in target type";
        case Kind::Zero:
            return "number would be zero for non-zero type";
    }
    base::panic("unknown integer parse error kind");
}

std::string IntegerParseError::debug() const {
    switch (kind_) {
        case Kind::Empty:
            return "IntegerParseError { kind: Empty }";
        case Kind::InvalidDigit:
            return "IntegerParseError { kind: InvalidDigit }";
        case Kind::TooLarge:
            return "IntegerParseError { kind: TooLarge }";
        case Kind::TooSmall:
            return "IntegerParseError { kind: TooSmall }";
        case Kind::Zero:
            return "IntegerParseError { kind: Zero }";
    }
    base::panic("unknown integer parse error kind");
}

std::string ParseSizeError::message() const {
    return std::visit(
        Overloaded{
            [](const InvalidInteger& e) {
                return fmt::format("invalid size specifier {}: not an unsigned integer", e.input);
            },
            [](const InvalidDecimal& e) {
                return fmt::format(
                    "invalid size specifier {}: a decimal is digits around one point with no sign or "
                    "exponent, "
                    "such as 1.5MB",
                    e.input);
            },
            [](const DecimalWithoutSuffix& e) {
                return fmt::format("invalid size specifier {}: a decimal needs a size suffix such as 1.5MB",
                                   e.input);
            },
            [](const Overflow& e) {
                return fmt::format("size specifier {} overflows the 64-bit byte range", e.input);
            },
            [](const UnknownSpec& e) { return fmt::format("unknown size specifier {}", e.input); },
            [](const MalformedRange& e) {
                return fmt::format("bad size range {}: should be startsize-endsize (e.g. 1mb-5mb)", e.input);
            },
            [](const MissingType&) { return std::string("missing Type=<type> in file size specifier"); },
            [](const UnknownType& e) {
                return fmt::format("unknown Type {}, must be one of: lognormal,pareto", e.name);
            },
            [](const RemovedType& e) {
                if (e.name == "gamma") {
                    return std::string(
                        "Type gamma was removed; use Type=pareto,Min=<bytes>,Max=<bytes>,Alpha=<shape> for a "
                        "heavy "
                        "tail");
                }
                return fmt::format(
                    "Type {} was removed; use a range such as 19MB-21MB, or "
                    "Type=lognormal,Median=<bytes>,Sigma=<number>,Max=<bytes> with Sigma set to StdDev "
                    "divided by "
                    "Mean",
                    e.name);
            },
            [](const MalformedParameter& e) {
                return fmt::format("malformed size parameter {}: expected Key=Value", e.item);
            },
            [](const UnknownParameter& e) {
                const std::string takes = e.type_name == "lognormal" && e.name == "Mean"
                                              ? std::string(
                                                    "Median=<bytes>,Sigma=<number>,Max=<bytes> (Median=8.5MB "
                                                    "matches the old Mean=16)")
                                              : fmt::format("{}", fmt::join(e.accepted, ", "));
                return fmt::format("unknown parameter {} for Type={}; {} takes {}", e.name, e.type_name,
                                   e.type_name, takes);
            },
            [](const MissingParameter& e) {
                return fmt::format("missing parameter {} for Type={}", e.name, e.type_name);
            },
            [](const NotAByteSize& e) {
                return fmt::format("{} is a plain number, not a byte size", e.name);
            },
            [](const InvalidNumber& e) {
                return fmt::format("invalid {} value {}: not a finite number", e.name, e.input);
            },
            [](const InvalidSpec& e) { return e.source.message(); },
        },
        kind());
}

const base::Error* ParseSizeError::source() const {
    if (const auto* e = get_if<InvalidInteger>()) return &e->source;
    if (const auto* e = get_if<InvalidSpec>()) return &e->source;
    return nullptr;
}

std::string ParseSizeError::debug() const {
    const auto input = [](std::string_view variant, const std::string& text) {
        return fmt::format("{} {{ input: {} }}", variant, quote(text));
    };
    const std::string kind_text = std::visit(
        Overloaded{
            [](const InvalidInteger& e) {
                return fmt::format("InvalidInteger {{ input: {}, source: {} }}", quote(e.input),
                                   e.source.debug());
            },
            [&](const InvalidDecimal& e) { return input("InvalidDecimal", e.input); },
            [&](const DecimalWithoutSuffix& e) { return input("DecimalWithoutSuffix", e.input); },
            [&](const Overflow& e) { return input("Overflow", e.input); },
            [&](const UnknownSpec& e) { return input("UnknownSpec", e.input); },
            [&](const MalformedRange& e) { return input("MalformedRange", e.input); },
            [](const MissingType&) { return std::string("MissingType"); },
            [](const UnknownType& e) { return fmt::format("UnknownType {{ name: {} }}", quote(e.name)); },
            [](const RemovedType& e) { return fmt::format("RemovedType {{ name: {} }}", quote(e.name)); },
            [](const MalformedParameter& e) {
                return fmt::format("MalformedParameter {{ item: {} }}", quote(e.item));
            },
            [](const UnknownParameter& e) {
                std::vector<std::string> keys;
                for (const auto& key : e.accepted) keys.push_back(quote(key));
                return fmt::format("UnknownParameter {{ type_name: {}, name: {}, accepted: [{}] }}",
                                   quote(e.type_name), quote(e.name), fmt::join(keys, ", "));
            },
            [](const MissingParameter& e) {
                return fmt::format("MissingParameter {{ type_name: {}, name: {} }}", quote(e.type_name),
                                   quote(e.name));
            },
            [](const NotAByteSize& e) { return fmt::format("NotAByteSize {{ name: {} }}", quote(e.name)); },
            [](const InvalidNumber& e) {
                return fmt::format("InvalidNumber {{ name: {}, input: {} }}", quote(e.name), quote(e.input));
            },
            [](const InvalidSpec& e) {
                return fmt::format("InvalidSpec {{ source: {} }}", e.source.debug());
            },
        },
        kind());
    return fmt::format("ParseSizeError {{ inner: ParseSizeErrorInner {{ kind: {}, backtrace: {} }} }}",
                       kind_text, backtrace().debug());
}

}  // namespace kro::gen
