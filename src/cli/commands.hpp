#pragma once
// The four command handlers. Each takes its parsed record by value, prints its own output and
// errors, and returns the process exit status; `dev show` instead returns its error, which the
// entry prints as "Error: " and the chain.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>

#include "cli/args/args.hpp"
#include "cli/command_error.hpp"

namespace kro::cli {

uint8_t run_gen(GenArgs args);
uint8_t run_verify(VerifyArgs args);
std::expected<uint8_t, CommandError> run_show(ShowArgs args);
uint8_t run_corrupt_file(CorruptFileArgs args);

// The store of gen and verify: the --directory as typed, else the process's current directory.
std::expected<std::filesystem::path, CommandError> store_directory(
    const std::optional<std::filesystem::path>& typed);

}  // namespace kro::cli
