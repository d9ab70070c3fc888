#pragma once
// The first pass over the process arguments: it follows the command tree word by word, decides
// what each word is (a command, an option and its value, a positional argument, a help
// request), and reports every mistake of form with the command it concerns: invalid UTF-8,
// unknown options and commands (with the nearest valid name), a missing value, an option given
// twice, a flag given a value, a missing positional argument or command. What passes is
// rewritten in one plain form (every option and its value as two words, positional arguments
// last after "--") for the parsing library, which then runs the value parsers. Pure.

#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "cli/args/grammar.hpp"
#include "cli/args/help_formatter.hpp"
#include "cli/args/usage_error.hpp"

namespace kro::cli {

// A help page to print instead of running anything.
struct HelpRequest {
    UsageError::CommandPath path;  // the command whose help is asked for
    HelpMode mode = HelpMode::Short;
    bool on_stderr = false;  // the help shown for a command given no argument at all
    uint8_t status = 0;
};

struct ScannedLine {
    std::vector<std::string> words;
    std::vector<const Command*> path;  // from the root to the chosen command
};

using ScanResult = std::variant<ScannedLine, HelpRequest, UsageError>;

// `args` are the process arguments without the program name.
ScanResult scan_arguments(const Command& root, std::span<const std::string> args);

}  // namespace kro::cli
