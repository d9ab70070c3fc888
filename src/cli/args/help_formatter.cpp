#include "cli/args/help_formatter.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <vector>

namespace kro::cli {
namespace {

constexpr std::string_view LONG_INDENT = "          ";

struct Row {
    std::string left;
    const ArgSpec* spec = nullptr;  // none for commands and the help flag
    std::string help;
};

std::string positional_name(const ArgSpec& spec) {
    std::string name = spec.required ? "<" + spec.value_name + ">" : "[" + spec.value_name + "]";
    if (spec.multiple) name += "...";
    return name;
}

std::string choice_names(const ArgSpec& spec) {
    std::vector<std::string> names;
    for (const PossibleValue& value : spec.possible_values) names.push_back(value.name);
    return fmt::format("{}", fmt::join(names, ", "));
}

bool choices_have_help(const ArgSpec& spec) {
    return std::ranges::any_of(spec.possible_values,
                               [](const PossibleValue& value) { return !value.help.empty(); });
}

std::string short_help(const Row& row) {
    std::string text = row.help;
    if (row.spec == nullptr) return text;
    if (row.spec->default_text) text += fmt::format(" [default: {}]", *row.spec->default_text);
    if (!row.spec->possible_values.empty())
        text += fmt::format(" [possible values: {}]", choice_names(*row.spec));
    return text;
}

std::string long_help(const Row& row) {
    std::string text = fmt::format("{}{}\n", LONG_INDENT, row.help);
    if (row.spec == nullptr) return text;
    const ArgSpec& spec = *row.spec;
    if (choices_have_help(spec)) {
        size_t width = 0;
        for (const PossibleValue& value : spec.possible_values)
            width = std::max(width, value.name.size() + 1);
        text += fmt::format("\n{}Possible values:\n", LONG_INDENT);
        for (const PossibleValue& value : spec.possible_values) {
            text += fmt::format("{}- {:<{}} {}\n", LONG_INDENT, value.name + ":", width, value.help);
        }
    }
    std::string brackets;
    if (spec.default_text) brackets += fmt::format("{}[default: {}]\n", LONG_INDENT, *spec.default_text);
    if (!spec.possible_values.empty() && !choices_have_help(spec)) {
        brackets += fmt::format("{}[possible values: {}]\n", LONG_INDENT, choice_names(spec));
    }
    if (!brackets.empty()) text += "\n" + brackets;
    return text;
}

std::string section(std::string_view title, const std::vector<Row>& rows, HelpMode mode) {
    if (rows.empty()) return {};
    std::string out = fmt::format("\n{}:\n", title);
    if (mode == HelpMode::Long && title != "Commands") {
        for (size_t i = 0; i < rows.size(); ++i) {
            if (i > 0) out += '\n';
            out += fmt::format("  {}\n{}", rows[i].left, long_help(rows[i]));
        }
        return out;
    }
    size_t width = 0;
    for (const Row& row : rows) width = std::max(width, row.left.size());
    for (const Row& row : rows) out += fmt::format("  {:<{}}  {}\n", row.left, width, short_help(row));
    return out;
}

}  // namespace

const Command& help_command() {
    static const Command help = [] {
        Command command;
        command.name = "help";
        command.about = "Print this help or the help of the given command(s)";
        ArgSpec names;
        names.id = "command";
        names.value_name = "COMMAND";
        names.help = "The command whose help to print";
        names.multiple = true;
        command.arg(std::move(names));
        return command;
    }();
    return help;
}

std::string usage_line(const Command& command, std::string_view name) {
    std::string line(name);
    if (std::ranges::any_of(command.args, [](const ArgSpec& spec) { return !spec.positional(); }))
        line += " [OPTIONS]";
    for (const ArgSpec& spec : command.args) {
        if (spec.positional()) line += " " + positional_name(spec);
    }
    if (!command.subcommands.empty()) line += command.subcommand_required ? " <COMMAND>" : " [COMMAND]";
    return line;
}

std::string render_help(const Command& command, std::string_view name, HelpMode mode) {
    const std::string& about =
        mode == HelpMode::Long && !command.long_about.empty() ? command.long_about : command.about;
    std::string out = fmt::format("{}\n\nUsage: {}\n", about, usage_line(command, name));

    std::vector<Row> commands;
    for (const Command& sub : command.subcommands) commands.push_back({sub.name, nullptr, sub.about});
    if (!command.subcommands.empty())
        commands.push_back({help_command().name, nullptr, help_command().about});

    std::vector<Row> positionals;
    std::vector<Row> options;
    for (const ArgSpec& spec : command.args) {
        if (spec.positional()) {
            positionals.push_back({positional_name(spec), &spec, spec.help});
        } else {
            options.push_back({"    " + spec.display(), &spec, spec.help});
        }
    }
    options.push_back(
        {"-h, --help", nullptr,
         mode == HelpMode::Short ? "Print help ('--help' for more)" : "Print help ('-h' for a summary)"});

    out += section("Commands", commands, mode);
    out += section("Arguments", positionals, mode);
    out += section("Options", options, mode);
    return out;
}

std::string HelpFormatter::make_help(const CLI::App*, std::string name, CLI::AppFormatMode mode) const {
    return render_help(command_, name, mode == CLI::AppFormatMode::Normal ? HelpMode::Short : HelpMode::Long);
}

}  // namespace kro::cli
