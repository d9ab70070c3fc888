#include "cli/args/command_line.hpp"

#include <fmt/format.h>
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <memory>
#include <optional>
#include <sstream>

#include "base/errors/panic.hpp"
#include "cli/args/argument_scan.hpp"
#include "cli/args/grammar.hpp"
#include "cli/args/help_formatter.hpp"
#include "cli/output/stream_writer.hpp"

namespace kro::cli {
namespace {

constexpr int USAGE_EXIT_STATUS = 2;

// A usage error on its way through the parsing library, which reports failures as exceptions.
class UsageFailure final : public CLI::ParseError {
  public:
    explicit UsageFailure(UsageError error)
        : CLI::ParseError("UsageFailure", error.message(), USAGE_EXIT_STATUS), error_(std::move(error)) {}
    const UsageError& error() const { return error_; }

  private:
    UsageError error_;
};

// Checks a value against its argument's choice and parses it into the argument's field.
std::expected<void, UsageError> store_value(const ArgSpec& spec, const std::string& text) {
    if (!spec.possible_values.empty() &&
        std::ranges::none_of(spec.possible_values,
                             [&](const PossibleValue& value) { return value.name == text; })) {
        return std::unexpected(UsageError::invalid_choice(text, spec.display(), spec.possible_values));
    }
    auto stored = spec.bind(text);
    if (!stored) return std::unexpected(UsageError::invalid_value(text, spec.display(), stored.error()));
    return {};
}

// The same from inside the library's parse, which stops at a thrown error.
void store_or_throw(const ArgSpec& spec, const std::string& text) {
    auto stored = store_value(spec, text);
    if (!stored) throw UsageFailure(std::move(stored.error()));
}

std::string full_name(const UsageError::CommandPath& path, size_t depth) {
    std::string name = "kro";
    for (size_t i = 0; i < depth; ++i) name += " " + path[i];
    return name;
}

// The library's view of the grammar: one CLI::App per command (and per help command), each
// with kro's formatter, and the records that the grammar's bindings fill.
class CliApp {
  public:
    explicit CliApp(bool color)
        : root_(build_cli_command(records_)), app_(std::string(root_.about), root_.name) {
        configure(app_, root_);
        app_.failure_message([color](const CLI::App* app, const CLI::Error& error) {
            const auto* failure = dynamic_cast<const UsageFailure*>(&error);
            const UsageError usage_error =
                failure != nullptr ? failure->error() : UsageError::other(error.what());
            std::optional<std::string> usage;
            if (usage_error.shows_usage()) usage = usage_of(*app, usage_error.command_path());
            return render_usage_error(usage_error, usage, color);
        });
    }
    CliApp(const CliApp&) = delete;
    CliApp& operator=(const CliApp&) = delete;

    const Command& grammar() const { return root_; }

    // Parses a command line already in plain form into its records; a rejected value ends it
    // with a usage error. Every argument along the path starts from its default, which a value
    // given on the command line then replaces.
    std::expected<Cli, UsageError> parse(const ScannedLine& line) {
        for (const Command* command : line.path) apply_defaults(*command);
        // The library consumes the words from the back of the vector as it parses, so its vector
        // overload takes them last first; the (argc, argv) overload, which reverses for itself,
        // wants the program name and C strings, and the scanner's rewritten words are neither.
        std::vector<std::string> reversed(line.words.rbegin(), line.words.rend());
        try {
            app_.parse(reversed);
        } catch (const UsageFailure& failure) {
            return std::unexpected(failure.error());
        } catch (const CLI::ParseError& error) {
            return std::unexpected(UsageError::other(error.what()));
        }
        return Cli{records_.version, chosen_command(line.path)};
    }

    std::string help(const UsageError::CommandPath& path, HelpMode mode) const {
        const CLI::App& target = find(app_, path);
        const std::string prefix = path.empty() ? "" : full_name(path, path.size() - 1);
        return target.help(prefix,
                           mode == HelpMode::Short ? CLI::AppFormatMode::Normal : CLI::AppFormatMode::All);
    }

    // Prints the error through the library's failure path and returns its exit status.
    uint8_t report(const UsageError& error) const {
        std::ostringstream out;
        std::ostringstream err;
        const int status = app_.exit(UsageFailure(error), out, err);
        StreamWriter writer = StreamWriter::standard_error();
        writer.write(err.str());
        writer.flush();
        return static_cast<uint8_t>(status);
    }

  private:
    static const CLI::App& find(const CLI::App& root, const UsageError::CommandPath& path) {
        const CLI::App* app = &root;
        for (const std::string& name : path) app = app->get_subcommand(name);
        return *app;
    }

    static std::string usage_of(const CLI::App& root, const UsageError::CommandPath& path) {
        const CLI::App& app = find(root, path);
        const auto formatter = std::dynamic_pointer_cast<HelpFormatter>(app.get_formatter());
        if (!formatter) base::panic("every command has kro's help formatter");
        return usage_line(formatter->command(), full_name(path, path.size()));
    }

    static void configure(CLI::App& app, const Command& command) {
        app.formatter(std::make_shared<HelpFormatter>(command));
        app.set_help_flag("-h,--help", "Print help");
        for (const ArgSpec& spec : command.args) {
            if (spec.flag()) {
                app.add_flag_callback(
                    "--" + spec.long_name, [&spec] { store_or_throw(spec, {}); }, spec.help);
                continue;
            }
            const std::string name = spec.positional() ? spec.id : "--" + spec.long_name;
            CLI::Option* option = app.add_option(
                name,
                [&spec](const CLI::results_t& results) {
                    store_or_throw(spec, results.back());
                    return true;
                },
                spec.help);
            option->type_name(spec.value_name)->trigger_on_parse();
            if (spec.default_text) option->default_str(*spec.default_text);
            if (spec.required) option->required();
        }
        for (const Command& sub : command.subcommands)
            configure(*app.add_subcommand(sub.name, sub.about), sub);
        if (!command.subcommands.empty()) {
            CLI::App* help = app.add_subcommand(help_command().name, help_command().about);
            help->formatter(std::make_shared<HelpFormatter>(help_command()));
            app.require_subcommand(command.subcommand_required ? 1 : 0, 1);
        }
    }

    static void apply_defaults(const Command& command) {
        for (const ArgSpec& spec : command.args) {
            if (spec.default_text && !store_value(spec, *spec.default_text))
                base::panic(fmt::format("the default of `{}` parses", spec.id));
        }
    }

    // The record of the command that the line ends at; none for kro alone.
    static std::optional<CliCommand> chosen_command(const std::vector<const Command*>& path) {
        if (path.size() == 1) return std::nullopt;
        const Command& command = *path.back();
        if (!command.take_record) base::panic(fmt::format("`{}` runs when chosen", command.name));
        return command.take_record();
    }

    ArgRecords records_;
    const Command root_;
    CLI::App app_;
};

bool stderr_color() {
    return usage_color_allowed(::isatty(STDERR_FILENO) == 1);
}

}  // namespace

std::expected<Cli, uint8_t> parse_command_line(std::span<const std::string> args) {
    CliApp cli(stderr_color());
    ScanResult scanned = scan_arguments(cli.grammar(), args);
    if (auto* request = std::get_if<HelpRequest>(&scanned)) {
        StreamWriter writer =
            request->on_stderr ? StreamWriter::standard_error() : StreamWriter::standard_output();
        writer.write(cli.help(request->path, request->mode));
        writer.flush();
        return std::unexpected(request->status);
    }
    if (auto* error = std::get_if<UsageError>(&scanned)) return std::unexpected(cli.report(*error));
    auto parsed = cli.parse(std::get<ScannedLine>(scanned));
    if (!parsed) return std::unexpected(cli.report(parsed.error()));
    return std::move(*parsed);
}

uint8_t report_usage_error(const UsageError& error) {
    return CliApp(stderr_color()).report(error);
}

std::string command_help(const UsageError::CommandPath& path, HelpMode mode) {
    return CliApp(false).help(path, mode);
}

}  // namespace kro::cli
