#pragma once
// The command grammar of kro as data: the command tree, every option and positional argument
// with its id, value name, default, possible values, help text, and the record field that its
// value parser fills, and the long descriptions that --help shows. Each argument is declared
// once, here, with everything about it. `build_cli_command` builds it afresh on every call,
// bound to the records of one parse; only the default texts are computed once per process and
// then reused. The parsing library is configured from this tree (command_line.hpp).

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/args/args.hpp"
#include "cli/args/binding.hpp"
#include "format/header.hpp"

namespace kro::cli {

struct PossibleValue {
    std::string name;
    std::string help;  // may be empty
};

// One option (a long name) or positional argument (no long name). An option without a value
// name is a flag.
struct ArgSpec {
    std::string id;
    std::string long_name;   // without the leading "--"; empty for a positional argument
    std::string value_name;  // "DIRECTORY"; empty for a flag
    std::string help;
    std::optional<std::string> default_text;
    // A fixed choice: the value must be one of these names exactly.
    std::vector<PossibleValue> possible_values;
    // Parses a value (the default text included) into the argument's record field.
    Binding bind;
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
    // A command that runs: its record, moved out of the records that its arguments fill.
    std::function<CliCommand()> take_record;

    Command& arg(ArgSpec spec);
    Command& subcommand(Command command);
    const ArgSpec* find_long(std::string_view long_name) const;
    const Command* find_subcommand(std::string_view name) const;
};

// The complete grammar of `kro`, freshly built, its arguments bound to the fields of `into`
// (which must outlive it).
Command build_cli_command(ArgRecords& into);

// Each adds its command's arguments, in their documented order, bound to the fields of `into`.
Command add_gen_args(Command command, GenArgs& into);
Command add_verify_args(Command command, VerifyArgs& into);
Command add_show_args(Command command, ShowArgs& into);
Command add_corrupt_file_args(Command command, CorruptFileArgs& into);

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
