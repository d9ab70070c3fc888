#include "cli/args/value_parsers.hpp"

#include <fmt/format.h>
#include <sys/stat.h>

#include <limits>
#include <string>

namespace kro::cli {
namespace {

struct Decimal {
    bool negative = false;
    std::string_view digits;
};

// An optional sign and at least one ASCII digit; `allow_minus` decides whether "-" is a sign.
std::expected<Decimal, IntegerError> split_sign(std::string_view text, bool allow_minus) {
    if (text.empty()) return std::unexpected(IntegerError(IntegerError::Kind::Empty));
    Decimal out;
    if (text.front() == '+' || (allow_minus && text.front() == '-')) {
        out.negative = text.front() == '-';
        text.remove_prefix(1);
        if (text.empty()) return std::unexpected(IntegerError(IntegerError::Kind::InvalidDigit));
    }
    for (const char c : text) {
        if (c < '0' || c > '9') return std::unexpected(IntegerError(IntegerError::Kind::InvalidDigit));
    }
    out.digits = text;
    return out;
}

// The magnitude of the digits, or nothing when it exceeds `limit`.
std::optional<uint64_t> magnitude(std::string_view digits, uint64_t limit) {
    uint64_t value = 0;
    for (const char c : digits) {
        const auto digit = static_cast<uint64_t>(c - '0');
        if (value > (limit - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::expected<std::filesystem::path, ValueError> existing(std::string_view text, bool allow_directory) {
    const std::string path(text);
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return std::unexpected(
            ValueError(fmt::format("path {} does not exist", text), base::IoError::last_os_error()));
    }
    if (!allow_directory && S_ISDIR(status.st_mode)) {
        return std::unexpected(ValueError(fmt::format("{} is a directory", text)));
    }
    return std::filesystem::path(path);
}

}  // namespace

std::expected<uint64_t, IntegerError> parse_unsigned(std::string_view text) {
    const auto decimal = split_sign(text, false);
    if (!decimal) return std::unexpected(decimal.error());
    const auto value = magnitude(decimal->digits, std::numeric_limits<uint64_t>::max());
    if (!value) return std::unexpected(IntegerError(IntegerError::Kind::TooLarge));
    return *value;
}

std::expected<uint64_t, ValueError> parse_positive_integer(std::string_view text) {
    const auto fail = [&](IntegerError cause) {
        return std::unexpected(ValueError(fmt::format("{} is not an integer of at least 1", text), cause));
    };
    const auto value = parse_unsigned(text);
    if (!value) return fail(value.error());
    if (*value == 0) return fail(IntegerError(IntegerError::Kind::Zero));
    return *value;
}

std::expected<int64_t, ValueError> parse_integer(std::string_view text) {
    const auto fail = [&](IntegerError cause) {
        return std::unexpected(ValueError(fmt::format("{} is not an integer", text), cause));
    };
    const auto decimal = split_sign(text, true);
    if (!decimal) return fail(decimal.error());
    constexpr auto max = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    // The most negative value has no positive twin: its magnitude is max + 1.
    const auto value = magnitude(decimal->digits, decimal->negative ? max + 1 : max);
    if (!value)
        return fail(
            IntegerError(decimal->negative ? IntegerError::Kind::TooSmall : IntegerError::Kind::TooLarge));
    if (!decimal->negative) return static_cast<int64_t>(*value);
    return *value == max + 1 ? std::numeric_limits<int64_t>::min() : -static_cast<int64_t>(*value);
}

std::expected<gen::SizeSpec, gen::ParseSizeError> parse_file_size_arg(std::string_view text) {
    return gen::SizeSpec::from_str(text);
}

std::expected<uint64_t, gen::ParseSizeError> parse_byte_size_arg(std::string_view text) {
    return gen::parse_byte_size(text);
}

std::expected<std::filesystem::path, ValueError> parse_existing_file(std::string_view text) {
    return existing(text, false);
}

std::expected<std::filesystem::path, ValueError> parse_existing_path(std::string_view text) {
    return existing(text, true);
}

std::expected<gen::MasterSeed, gen::EmptySeed> parse_seed_arg(std::string_view text) {
    return gen::derive_master_seed(text);
}

}  // namespace kro::cli
