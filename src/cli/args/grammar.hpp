#pragma once
// The command grammar of kro as data: the command tree, every option and positional argument
// with its id, value name, default, possible values, help text and value parser, and the long
// descriptions that --help shows. `build_cli_command` builds it afresh on every call; only the
// default texts are computed once per process and then reused. The parsing library is
// configured from this tree (command_line.hpp).

#include <any>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/args/args.hpp"
#include "format/header.hpp"

namespace kro::cli {

// Turns an argument's text into the value kept under its id, or into the message of the
// parser's error.
using ValueParser = std::function<std::expected<std::any, std::string>(const std::string& text)>;

// Adapts a typed parser (text -> expected<T, E> with E an error type) to a ValueParser.
template <typename F>
ValueParser value_parser(F parse) {
    return [parse = std::move(parse)](const std::string& text) -> std::expected<std::any, std::string> {
        auto value = parse(text);
        if (!value) return std::unexpected(value.error().message());
        return std::any(std::move(*value));
    };
}

struct PossibleValue {
    std::string name;
    std::string help;  // may be empty
};

// One option (a long name) or positional argument (no long name). An option without a value
// name is a flag, kept as a bool under its id.
struct ArgSpec {
    std::string id;
    std::string long_name;   // without the leading "--"; empty for a positional argument
    std::string value_name;  // "DIRECTORY"; empty for a flag
    std::string help;
    std::optional<std::string> default_text;
    // A fixed choice: the value must be one of these names exactly.
    std::vector<PossibleValue> possible_values;
    ValueParser parser;  // unset for a flag
    // The value may begin with "-" when given as the next word ("--max-files -5").
    bool allow_hyphen_values = false;
    // The value is a path used as typed: any bytes pass, where every other value must be UTF-8.
    bool any_bytes = false;
    bool required = false;
    // Takes any number of values (only the help command's names).
    bool multiple = false;

    bool positional() const { return long_name.empty(); }
    bool flag() const { return value_name.empty(); }
    // "--jobs <INTEGER>", "--version", "<FILEPATH>".
    std::string display() const;
};

struct Command {
    std::string name;
    std::string about;       // the one-line description
    std::string long_about;  // --help; empty: `about`
    std::vector<ArgSpec> args;
    std::vector<Command> subcommands;
    bool subcommand_required = false;
    // Without any argument the command prints its short help on standard error (status 2).
    bool help_on_empty = false;

    Command& arg(ArgSpec spec);
    Command& subcommand(Command command);
    const ArgSpec* find_long(std::string_view long_name) const;
    const Command* find_subcommand(std::string_view name) const;
};

// The complete grammar of `kro`, freshly built.
Command build_cli_command();

// Each adds its command's arguments, in their documented order.
Command gen_args_augment(Command command);
Command verify_args_augment(Command command);
Command show_args_augment(Command command);
Command corrupt_file_args_augment(Command command);

// Default texts, computed on first use.
const std::string& default_chunk_size_text();
const std::string& default_jobs_text();
const std::string& default_preset_text();
const std::string& default_start_text();
const std::string& default_length_text();

// The command-line names of the fixed choices ("v2", "zero" with its help text).
PossibleValue format_version_possible_value(format::FormatVersion version);
PossibleValue preset_possible_value(Preset preset);

}  // namespace kro::cli
