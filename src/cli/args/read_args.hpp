#pragma once
// Reading the parse result into the typed argument records, field by field in record order,
// each value moved out under its argument id. A required id that is absent is a usage error of
// the missing-argument kind naming the id.

#include <expected>

#include "cli/args/arg_matches.hpp"
#include "cli/args/args.hpp"
#include "cli/args/usage_error.hpp"

namespace kro::cli {

std::expected<Cli, UsageError> cli_from_matches(ArgMatches matches);

std::expected<GenArgs, UsageError> gen_args_from_matches(ArgMatches& matches);
std::expected<VerifyArgs, UsageError> verify_args_from_matches(ArgMatches& matches);
std::expected<ShowArgs, UsageError> show_args_from_matches(ArgMatches& matches);
std::expected<CorruptFileArgs, UsageError> corrupt_file_args_from_matches(ArgMatches& matches);

}  // namespace kro::cli
