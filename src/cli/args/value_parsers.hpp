#pragma once
// The value parsers of the command line: each turns the text of one argument, exactly as typed,
// into its typed value or into an error whose own message is what the user sees (any cause it
// carries travels with it but is not printed). The parsing library calls them while it parses,
// before any command runs. Pure apart from the file-system queries of the two path parsers.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/errors/error.hpp"
#include "base/errors/io_error.hpp"
#include "cli/args/args.hpp"
#include "gen/sizes/seed.hpp"
#include "gen/sizes/size_spec.hpp"

namespace kro::cli {

// Why a text is not a decimal integer of the requested type. The one integer parse error of the system: the
// size grammar and the integer options share it.
using IntegerError = gen::IntegerParseError;

// A rejected argument: the message shown, and the cause behind it if there is one.
class ValueError final : public base::Error {
  public:
    explicit ValueError(std::string message) : message_(std::move(message)) {}
    template <typename Cause>
    ValueError(std::string message, Cause cause)
        : message_(std::move(message)), cause_(std::make_shared<const Cause>(std::move(cause))) {}

    std::string message() const override { return message_; }
    const base::Error* source() const override { return cause_.get(); }

  private:
    std::string message_;
    std::shared_ptr<const base::Error> cause_;
};

// An optional "+" and decimal digits, as an unsigned 64-bit value (the library's own
// unsigned-integer type): the message is the integer error itself.
std::expected<uint64_t, IntegerError> parse_unsigned(std::string_view text);

// `gen --jobs`, `verify --chunk-size`, `verify --jobs`: an unsigned integer of at least 1.
std::expected<uint64_t, ValueError> parse_positive_integer(std::string_view text);
// `gen --max-files`: a signed 64-bit integer; negative values are accepted.
std::expected<int64_t, ValueError> parse_integer(std::string_view text);
// `gen --file-size`: the size-specification grammar.
std::expected<gen::SizeSpec, gen::ParseSizeError> parse_file_size_arg(std::string_view text);
// `gen --max-disk-usage`: a byte count with an optional unit suffix.
std::expected<uint64_t, gen::ParseSizeError> parse_byte_size_arg(std::string_view text);
// `dev show` FILEPATH: a path that exists (symbolic links followed) and is not a directory.
std::expected<std::filesystem::path, ValueError> parse_existing_file(std::string_view text);
// `dev corrupt-file` FILEPATH: a path that exists; directories pass.
std::expected<std::filesystem::path, ValueError> parse_existing_path(std::string_view text);
// `gen --seed`: the master seed derived from the exact text; an empty text is rejected.
std::expected<gen::MasterSeed, gen::EmptySeed> parse_seed_arg(std::string_view text);

}  // namespace kro::cli
