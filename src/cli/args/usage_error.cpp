#include "cli/args/usage_error.hpp"

#include <fmt/format.h>

#include <cstdlib>

#include "base/path_display.hpp"
#include "cli/args/suggestion.hpp"
#include "cli/output/color.hpp"

namespace kro::cli {
namespace {

std::optional<std::string_view> env(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string_view(value);
}

}  // namespace

UsageError::UsageError(UsageErrorKind kind, std::string message, CommandPath path, bool shows_usage,
                       std::optional<std::string> tip)
    : kind_(kind),
      message_(std::move(message)),
      path_(std::move(path)),
      shows_usage_(shows_usage),
      tip_(std::move(tip)),
      backtrace_(base::Backtrace::capture()) {}

// A value typed on the command line can be a name taken from a store: whatever of it is echoed,
// the parser's message included, shows its control characters visibly.
UsageError UsageError::invalid_value(std::string_view value, std::string_view argument,
                                     std::string_view parser_message) {
    return UsageError(UsageErrorKind::InvalidValue,
                      fmt::format("invalid value '{}' for '{}': {}", base::display_text(value), argument,
                                  base::display_text(parser_message)),
                      {}, false);
}

UsageError UsageError::invalid_choice(std::string_view value, std::string_view argument,
                                      const std::vector<PossibleValue>& choices) {
    std::vector<std::string> names;
    for (const PossibleValue& choice : choices) names.push_back(choice.name);
    std::optional<std::string> tip;
    if (auto near = closest_name(value, names)) tip = fmt::format("a similar value exists: '{}'", *near);
    return UsageError(UsageErrorKind::InvalidValue,
                      fmt::format("invalid value '{}' for '{}'\n  [possible values: {}]",
                                  base::display_text(value), argument, fmt::join(names, ", ")),
                      {}, false, std::move(tip));
}

UsageError UsageError::invalid_utf8(CommandPath path) {
    return UsageError(UsageErrorKind::InvalidUtf8, "invalid UTF-8 was detected in one or more arguments",
                      std::move(path), true);
}

UsageError UsageError::unknown_argument(std::string_view argument, CommandPath path,
                                        std::optional<std::string> tip) {
    return UsageError(UsageErrorKind::UnknownArgument,
                      fmt::format("unexpected argument '{}' found", base::display_text(argument)),
                      std::move(path), true, std::move(tip));
}

UsageError UsageError::invalid_subcommand(std::string_view name, CommandPath path,
                                          std::optional<std::string> tip) {
    return UsageError(UsageErrorKind::InvalidSubcommand,
                      fmt::format("unrecognized subcommand '{}'", base::display_text(name)), std::move(path),
                      true, std::move(tip));
}

UsageError UsageError::missing_value(std::string_view argument, CommandPath path,
                                     std::optional<std::string> tip) {
    return UsageError(UsageErrorKind::MissingValue,
                      fmt::format("a value is required for '{}' but none was supplied", argument),
                      std::move(path), false, std::move(tip));
}

UsageError UsageError::missing_required(const std::vector<std::string>& arguments, CommandPath path) {
    std::string message = "the following required arguments were not provided:";
    for (const std::string& argument : arguments) message += "\n  " + argument;
    return UsageError(UsageErrorKind::MissingRequiredArgument, std::move(message), std::move(path), true);
}

UsageError UsageError::missing_subcommand(CommandPath path) {
    return UsageError(UsageErrorKind::MissingSubcommand, "a subcommand is required but one was not provided",
                      std::move(path), true);
}

UsageError UsageError::duplicate(std::string_view argument, CommandPath path) {
    return UsageError(UsageErrorKind::DuplicateArgument,
                      fmt::format("the argument '{}' cannot be used multiple times", argument),
                      std::move(path), true);
}

UsageError UsageError::unexpected_value(std::string_view value, std::string_view argument, CommandPath path) {
    return UsageError(UsageErrorKind::UnexpectedValue,
                      fmt::format("unexpected value '{}' for '{}' found; no more were expected",
                                  base::display_text(value), argument),
                      std::move(path), true);
}

UsageError UsageError::argument_conflict(std::string message, CommandPath path) {
    return UsageError(UsageErrorKind::ArgumentConflict, std::move(message), std::move(path), true);
}

UsageError UsageError::other(std::string message) {
    return UsageError(UsageErrorKind::Other, std::move(message), {}, false);
}

std::string UsageError::debug() const {
    return fmt::format("UsageError {{ kind: {}, message: \"{}\", command: \"{}\", backtrace: {} }}",
                       static_cast<int>(kind_), message_, fmt::join(path_, " "), backtrace_.debug());
}

std::string render_usage_error(const UsageError& error, const std::optional<std::string>& usage, bool color) {
    std::string out = paint_str(color, sgr::BOLD_RED, "error:");
    out += ' ';
    out += error.message();
    out += '\n';
    if (error.tip()) {
        out += "\n  ";
        out += paint_str(color, sgr::GREEN, "tip:");
        out += ' ';
        out += *error.tip();
        out += '\n';
    }
    if (usage) {
        out += '\n';
        out += paint_bold(color, "Usage:");
        out += ' ';
        out += *usage;
        out += '\n';
    }
    out += "\nFor more information, try '--help'.\n";
    return out;
}

bool usage_color_allowed(bool is_terminal) {
    const auto no_color = env("NO_COLOR");
    if (no_color && !no_color->empty()) return false;
    const auto force = env("CLICOLOR_FORCE");
    if (force && *force != "0") return true;
    const auto clicolor = env("CLICOLOR");
    if (clicolor && *clicolor == "0") return false;
    if (!is_terminal) return false;
    const auto term = env("TERM");
    const bool term_colors = !term || *term != "dumb";
    return term_colors || clicolor.has_value() || env("CI").has_value();
}

}  // namespace kro::cli
