#pragma once
// The parsed command line as typed records: one record per command, filled from the parse
// result by the argument ids of the grammar. The records own their paths and texts and are
// handed to the command handlers by value.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <variant>

#include "format/header.hpp"
#include "gen/sizes/seed.hpp"
#include "gen/sizes/size_spec.hpp"

namespace kro::cli {

// How `dev corrupt-file` overwrites its range.
enum class Preset : uint8_t { Zero = 0, Random = 1 };

struct GenArgs {
    std::optional<std::filesystem::path> directory;
    format::FormatVersion format = format::FormatVersion::V3;
    std::optional<gen::MasterSeed> seed;  // derived from the --seed text
    std::optional<int64_t> max_files;
    std::optional<uint64_t> max_disk_usage;
    gen::SizeSpec file_size{gen::SizeSpec::Fixed{4096}};
    uint64_t jobs = 1;  // at least 1
};

struct VerifyArgs {
    std::optional<std::filesystem::path> directory;
    uint64_t chunk_size = 4096;  // at least 1
    uint64_t jobs = 1;           // at least 1
};

struct ShowArgs {
    std::filesystem::path filepath;  // exists and is not a directory
    bool verify_checksum = false;
};

struct CorruptFileArgs {
    std::filesystem::path filepath;  // exists
    Preset preset = Preset::Random;
    uint64_t start = 0;
    uint64_t length = 100;
    std::optional<uint64_t> seed;
};

using DevCommand = std::variant<ShowArgs, CorruptFileArgs>;

struct Dev {
    DevCommand command;
};

using CliCommand = std::variant<GenArgs, VerifyArgs, Dev>;

struct Cli {
    bool version = false;
    std::optional<CliCommand> command;  // none when no command was given
};

}  // namespace kro::cli
