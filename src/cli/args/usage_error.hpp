#pragma once
// A usage error: the command line does not fit the grammar, a value was rejected, or the values
// conflict. It is printed on standard error as "error: " and its message, an optional tip, the
// usage line of the command it concerns, and a hint to try --help; the process then exits with
// status 2. A plain value.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/errors/backtrace.hpp"
#include "base/errors/error.hpp"
#include "cli/args/grammar.hpp"

namespace kro::cli {

enum class UsageErrorKind {
    InvalidValue,
    InvalidUtf8,
    UnknownArgument,
    InvalidSubcommand,
    MissingValue,
    MissingRequiredArgument,
    MissingSubcommand,
    DuplicateArgument,
    UnexpectedValue,
    ArgumentConflict,
    Other,
};

class UsageError final : public base::Error {
  public:
    // The names of the commands below `kro` that the error concerns ({"dev", "show"}).
    using CommandPath = std::vector<std::string>;

    // "invalid value '{value}' for '{argument}': {parser message}".
    static UsageError invalid_value(std::string_view value, std::string_view argument,
                                    std::string_view parser_message);
    // A value outside a fixed choice, listing the choice and suggesting the nearest name.
    static UsageError invalid_choice(std::string_view value, std::string_view argument,
                                     const std::vector<PossibleValue>& choices);
    static UsageError invalid_utf8(CommandPath path);
    static UsageError unknown_argument(std::string_view argument, CommandPath path,
                                       std::optional<std::string> tip);
    static UsageError invalid_subcommand(std::string_view name, CommandPath path,
                                         std::optional<std::string> tip);
    static UsageError missing_value(std::string_view argument, CommandPath path,
                                    std::optional<std::string> tip);
    // Arguments the command line lacks, by their display form ("<FILEPATH>").
    static UsageError missing_required(const std::vector<std::string>& arguments, CommandPath path);
    static UsageError missing_subcommand(CommandPath path);
    static UsageError duplicate(std::string_view argument, CommandPath path);
    static UsageError unexpected_value(std::string_view value, std::string_view argument, CommandPath path);
    static UsageError argument_conflict(std::string message, CommandPath path);
    static UsageError other(std::string message);

    UsageErrorKind kind() const { return kind_; }
    const std::optional<std::string>& tip() const { return tip_; }
    const CommandPath& command_path() const { return path_; }
    // Whether the report shows the usage line of its command.
    bool shows_usage() const { return shows_usage_; }
    std::string message() const override { return message_; }
    std::string debug() const override;

  private:
    UsageError(UsageErrorKind kind, std::string message, CommandPath path, bool shows_usage,
               std::optional<std::string> tip = std::nullopt);

    UsageErrorKind kind_;
    std::string message_;
    CommandPath path_;
    bool shows_usage_;
    std::optional<std::string> tip_;
    base::Backtrace backtrace_;
};

// The whole report, ending with a newline; `usage` is the usage line to show (without "Usage: ").
std::string render_usage_error(const UsageError& error, const std::optional<std::string>& usage, bool color);

// Whether usage errors on a stream are coloured: never with NO_COLOR set and not empty; always
// with CLICOLOR_FORCE set and not "0"; never with CLICOLOR "0"; otherwise only on a terminal
// whose TERM is not "dumb", unless CLICOLOR or CI asks for colour there anyway.
bool usage_color_allowed(bool is_terminal);

}  // namespace kro::cli
