#pragma once
// kro's help pages, plugged into the parsing library as the formatter of every command. The
// short page (-h) shows each command's one-line description and one line per argument; the
// long page (--help, the help command) shows the long description where the command has one,
// and each argument's help, default and possible values on lines of their own. Help texts are
// printed exactly as the grammar holds them, never re-wrapped.

#include <CLI/CLI.hpp>

#include <string>
#include <string_view>

#include "cli/args/grammar.hpp"

namespace kro::cli {

enum class HelpMode { Short, Long };

// The help command's own entry, listed on the levels that have commands.
const Command& help_command();

// The whole help page of `command` (ending with a newline); `name` is the full command name,
// "kro dev show".
std::string render_help(const Command& command, std::string_view name, HelpMode mode);

// "kro gen [OPTIONS]", "kro dev <COMMAND>", "kro dev show [OPTIONS] <FILEPATH>".
std::string usage_line(const Command& command, std::string_view name);

class HelpFormatter final : public CLI::FormatterBase {
  public:
    // `command` must outlive the formatter.
    explicit HelpFormatter(const Command& command) : command_(command) {}

    // The library's normal mode is the short page, its expanded mode the long one.
    std::string make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const override;
    const Command& command() const { return command_; }

  private:
    const Command& command_;
};

}  // namespace kro::cli
