#pragma once
// Reading the process arguments with the parsing library (CLI11). The grammar is declared to
// the library with kro's own help formatter and failure-message function; a first pass
// (argument_scan.hpp) settles the form of the command line, the library then parses it and
// runs the value parsers, and every value lands in the record field its argument is bound to,
// with the defaults of the arguments not given. Help requests and usage errors are printed here
// and end the parse with the process exit status.

#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "cli/args/args.hpp"
#include "cli/args/help_formatter.hpp"
#include "cli/args/usage_error.hpp"

namespace kro::cli {

// The whole command line as its records, or the exit status after help or a usage error was
// printed.
std::expected<Cli, uint8_t> parse_command_line(std::span<const std::string> args);

// Prints a usage error found after the parse (against a freshly built grammar, so that its
// usage line is that of the command it names) and returns the usage-error exit status, 2.
uint8_t report_usage_error(const UsageError& error);

// The help page of the command at `path` ({} for kro itself), from a freshly built grammar.
std::string command_help(const UsageError::CommandPath& path, HelpMode mode);

}  // namespace kro::cli
