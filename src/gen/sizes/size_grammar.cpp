// The `--file-size` and byte-size grammar. Decisions are taken in a fixed order, so that every
// text has exactly one outcome and the first failure in that order is the one reported.
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

#include "base/errors/panic.hpp"
#include "base/text.hpp"
#include "gen/sizes/size_spec.hpp"

namespace kro::gen {

namespace {

constexpr std::string_view PARETO = "pareto";
constexpr std::string_view LOGNORMAL = "lognormal";

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

bool all_digits(std::string_view text) {
    return !text.empty() && std::ranges::all_of(text, is_digit);
}

char ascii_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::ranges::equal(a, b, {}, ascii_lower, ascii_lower);
}

std::unexpected<ParseSizeError> fail(ParseSizeError::Kind kind) {
    return std::unexpected(ParseSizeError(std::move(kind)));
}

// Unsigned decimal digits with an optional single leading "+".
std::expected<uint64_t, IntegerParseError> parse_u64(std::string_view text) {
    using Kind = IntegerParseError::Kind;
    if (text.empty()) return std::unexpected(IntegerParseError(Kind::Empty));
    if (text.front() == '+') {
        if (text.size() == 1) return std::unexpected(IntegerParseError(Kind::InvalidDigit));
        text.remove_prefix(1);
    }
    uint64_t value = 0;
    bool too_large = false;
    for (const char c : text) {
        if (!is_digit(c)) return std::unexpected(IntegerParseError(Kind::InvalidDigit));
        const auto digit = static_cast<uint64_t>(c - '0');
        if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) too_large = true;
        value = value * 10 + digit;
    }
    if (too_large) return std::unexpected(IntegerParseError(Kind::TooLarge));
    return value;
}

// Digits with at most one ".", then an optional exponent; the nearest double, very large values
// infinite and very small ones zero. The text holds no sign and has been checked by the caller.
double decimal_to_double(std::string_view text) {
    double value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ptr != text.data() + text.size()) base::panic("a checked decimal did not parse in full");
    if (result.ec == std::errc()) return value;
    if (result.ec != std::errc::result_out_of_range) base::panic("a checked decimal did not parse");
    // Out of range is either beyond the largest double or below the smallest subnormal; the
    // decimal exponent of the leading non-zero digit tells which.
    const size_t exponent_at = text.find_first_of("eE");
    const std::string_view mantissa = text.substr(0, exponent_at);
    int64_t exponent = 0;
    if (exponent_at != std::string_view::npos) {
        std::string_view digits = text.substr(exponent_at + 1);
        const bool negative = digits.front() == '-';
        if (digits.front() == '+' || digits.front() == '-') digits.remove_prefix(1);
        for (const char c : digits) exponent = std::min<int64_t>(exponent * 10 + (c - '0'), 1'000'000'000);
        if (negative) exponent = -exponent;
    }
    const size_t point = std::min(mantissa.find('.'), mantissa.size());
    const size_t first = mantissa.find_first_of("123456789");
    const int64_t lead =
        first < point ? static_cast<int64_t>(point - first - 1) : -static_cast<int64_t>(first - point);
    return lead + exponent >= 0 ? std::numeric_limits<double>::infinity() : 0.0;
}

// The number grammar of the command line: an optional sign, then "inf", "infinity" or "nan" in
// any case, or digits with an optional point (at least one digit) and an optional exponent.
std::optional<double> parse_float(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    const auto sign = [negative](double v) { return negative ? -v : v; };
    if (equals_ignoring_case(text, "inf") || equals_ignoring_case(text, "infinity"))
        return sign(std::numeric_limits<double>::infinity());
    if (equals_ignoring_case(text, "nan")) return sign(std::numeric_limits<double>::quiet_NaN());
    size_t i = 0;
    size_t digits = 0;
    while (i < text.size() && is_digit(text[i])) ++i, ++digits;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && is_digit(text[i])) ++i, ++digits;
    }
    if (digits == 0) return std::nullopt;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
        size_t exponent_digits = 0;
        while (i < text.size() && is_digit(text[i])) ++i, ++exponent_digits;
        if (exponent_digits == 0) return std::nullopt;
    }
    if (i != text.size()) return std::nullopt;
    return sign(decimal_to_double(text));
}

}  // namespace

std::optional<SizeSuffix> split_size_suffix(std::string_view text) {
    static constexpr std::array<std::pair<char, uint64_t>, 4> units{{
        {'k', 1024ULL},
        {'m', 1048576ULL},
        {'g', 1073741824ULL},
        {'t', 1099511627776ULL},
    }};
    if (text.size() < 2) return std::nullopt;
    // Both bytes must be ASCII letters, so the unit always starts on a character boundary.
    const char unit = ascii_lower(text[text.size() - 2]);
    if (ascii_lower(text.back()) != 'b') return std::nullopt;
    for (const auto& [letter, multiplier] : units) {
        if (unit == letter) return SizeSuffix{text.substr(0, text.size() - 2), multiplier};
    }
    return std::nullopt;
}

std::expected<uint64_t, ParseSizeError> parse_integer_size(std::string_view number, std::string_view whole) {
    auto value = parse_u64(number);
    if (!value) return fail(ParseSizeError::InvalidInteger{std::string(whole), value.error()});
    return *value;
}

std::expected<uint64_t, ParseSizeError> parse_decimal_size(std::string_view number, uint64_t multiplier,
                                                           std::string_view whole) {
    const bool digits_and_points =
        std::ranges::all_of(number, [](char c) { return is_digit(c) || c == '.'; });
    if (!digits_and_points || std::ranges::count(number, '.') != 1 || !std::ranges::any_of(number, is_digit))
        return fail(ParseSizeError::InvalidDecimal{std::string(whole)});
    const double product = decimal_to_double(number) * static_cast<double>(multiplier);
    // 2^64: the first double that no u64 holds.
    if (!std::isfinite(product) || product >= 18446744073709551616.0)
        return fail(ParseSizeError::Overflow{std::string(whole)});
    return static_cast<uint64_t>(product);
}

std::expected<uint64_t, ParseSizeError> parse_byte_size(std::string_view text) {
    if (const auto suffix = split_size_suffix(text)) {
        if (suffix->number.find('.') != std::string_view::npos)
            return parse_decimal_size(suffix->number, suffix->multiplier, text);
        const auto value = parse_integer_size(suffix->number, text);
        if (!value) return value;
        if (*value > std::numeric_limits<uint64_t>::max() / suffix->multiplier)
            return fail(ParseSizeError::Overflow{std::string(text)});
        return *value * suffix->multiplier;
    }
    if (text.find('.') != std::string_view::npos)
        return fail(ParseSizeError::DecimalWithoutSuffix{std::string(text)});
    return parse_integer_size(text, text);
}

namespace {

struct Parameter {
    std::string_view key;
    std::string_view value;
};

// The value of the last item with this key.
std::optional<std::string_view> lookup(const std::vector<Parameter>& parameters, std::string_view key) {
    for (auto it = parameters.rbegin(); it != parameters.rend(); ++it) {
        if (it->key == key) return it->value;
    }
    return std::nullopt;
}

std::expected<std::string_view, ParseSizeError> required(const std::vector<Parameter>& parameters,
                                                         std::string_view type_name, std::string_view key) {
    if (auto value = lookup(parameters, key)) return *value;
    return fail(ParseSizeError::MissingParameter{std::string(type_name), std::string(key)});
}

std::expected<uint64_t, ParseSizeError> required_bytes(const std::vector<Parameter>& parameters,
                                                       std::string_view type_name, std::string_view key) {
    const auto value = required(parameters, type_name, key);
    if (!value) return std::unexpected(value.error());
    return parse_byte_size(*value);
}

std::expected<uint64_t, ParseSizeError> optional_min(const std::vector<Parameter>& parameters) {
    if (auto value = lookup(parameters, "Min")) return parse_byte_size(*value);
    return MIN_FILE_SIZE;
}

std::expected<double, ParseSizeError> required_number(const std::vector<Parameter>& parameters,
                                                      std::string_view type_name, std::string_view key) {
    const auto value = required(parameters, type_name, key);
    if (!value) return std::unexpected(value.error());
    if (split_size_suffix(*value)) return fail(ParseSizeError::NotAByteSize{std::string(key)});
    const auto number = parse_float(*value);
    if (!number || !std::isfinite(*number))
        return fail(ParseSizeError::InvalidNumber{std::string(key), std::string(*value)});
    return *number;
}

std::expected<SizeSpec, ParseSizeError> built(std::expected<SizeSpec, SizeSpecError> spec) {
    if (!spec) return fail(ParseSizeError::InvalidSpec{std::move(spec.error())});
    return std::move(*spec);
}

std::expected<SizeSpec, ParseSizeError> parse_pareto(const std::vector<Parameter>& parameters) {
    const auto min = optional_min(parameters);
    if (!min) return std::unexpected(min.error());
    const auto max = required_bytes(parameters, PARETO, "Max");
    if (!max) return std::unexpected(max.error());
    const auto alpha = required_number(parameters, PARETO, "Alpha");
    if (!alpha) return std::unexpected(alpha.error());
    return built(SizeSpec::Pareto::make(Band{*min, *max}, *alpha));
}

std::expected<SizeSpec, ParseSizeError> parse_lognormal(const std::vector<Parameter>& parameters) {
    const auto median = required_bytes(parameters, LOGNORMAL, "Median");
    if (!median) return std::unexpected(median.error());
    const auto sigma = required_number(parameters, LOGNORMAL, "Sigma");
    if (!sigma) return std::unexpected(sigma.error());
    const auto max = required_bytes(parameters, LOGNORMAL, "Max");
    if (!max) return std::unexpected(max.error());
    const auto min = optional_min(parameters);
    if (!min) return std::unexpected(min.error());
    return built(SizeSpec::LogNormal::make(*median, Band{*min, *max}, *sigma));
}

std::expected<SizeSpec, ParseSizeError> parse_key_value_list(std::string_view text) {
    std::optional<std::string_view> type;
    std::vector<Parameter> parameters;
    for (const std::string_view item : base::split(text, ',')) {
        const auto pieces = base::split(item, '=');
        if (pieces.size() != 2) return fail(ParseSizeError::MalformedParameter{std::string(item)});
        if (pieces[0] == "Type") {
            type = pieces[1];
        } else {
            parameters.push_back({pieces[0], pieces[1]});
        }
    }
    if (!type) return fail(ParseSizeError::MissingType{});

    static const std::vector<std::string> pareto_keys{"Min", "Max", "Alpha"};
    static const std::vector<std::string> lognormal_keys{"Median", "Sigma", "Min", "Max"};
    const std::vector<std::string>* accepted = nullptr;
    if (*type == PARETO) {
        accepted = &pareto_keys;
    } else if (*type == LOGNORMAL) {
        accepted = &lognormal_keys;
    } else if (*type == "gamma" || *type == "normal") {
        return fail(ParseSizeError::RemovedType{std::string(*type)});
    } else {
        return fail(ParseSizeError::UnknownType{std::string(*type)});
    }
    for (const auto& parameter : parameters) {
        if (std::ranges::find(*accepted, parameter.key) == accepted->end())
            return fail(
                ParseSizeError::UnknownParameter{std::string(*type), std::string(parameter.key), *accepted});
    }
    return *type == PARETO ? parse_pareto(parameters) : parse_lognormal(parameters);
}

std::expected<SizeSpec, ParseSizeError> parse_range(std::string_view text) {
    const auto pieces = base::split(text, '-');
    if (pieces.size() != 2) return fail(ParseSizeError::MalformedRange{std::string(text)});
    const auto start = parse_byte_size(pieces[0]);
    if (!start) return std::unexpected(start.error());
    const auto end = parse_byte_size(pieces[1]);
    if (!end) return std::unexpected(end.error());
    return built(SizeSpec::Range::make(*start, *end, false));
}

}  // namespace

std::expected<SizeSpec, ParseSizeError> parse_size_spec(std::string_view text) {
    if (!text.empty() && text != "+" && text != "-") {
        const std::string_view digits = text.front() == '+' ? text.substr(1) : text;
        if (all_digits(digits)) {
            if (const auto value = parse_u64(digits)) return SizeSpec{SizeSpec::Fixed{*value}};
        }
    }
    if (text.find(',') != std::string_view::npos) return parse_key_value_list(text);
    if (text.find('-') != std::string_view::npos) return parse_range(text);
    if (!split_size_suffix(text) && !parse_float(text))
        return fail(ParseSizeError::UnknownSpec{std::string(text)});
    const auto value = parse_byte_size(text);
    if (!value) return std::unexpected(value.error());
    return SizeSpec{SizeSpec::Fixed{*value}};
}

std::expected<SizeSpec, ParseSizeError> SizeSpec::from_str(std::string_view text) {
    return parse_size_spec(text);
}

}  // namespace kro::gen
