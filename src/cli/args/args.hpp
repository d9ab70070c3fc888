#pragma once
// The parsed command line as typed records: one record per command. The grammar binds every
// argument to its field, so the parse fills each field from the command line or from the
// argument's default; the records carry no defaults of their own. They own their paths and
// texts and are handed to the command handlers by value.

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
    format::FormatVersion format{};
    std::optional<gen::MasterSeed> seed;  // derived from the --seed text
    std::optional<int64_t> max_files;
    std::optional<uint64_t> max_disk_usage;
    gen::SizeSpec file_size{gen::SizeSpec::Fixed{}};
    uint64_t jobs = 0;  // at least 1 once parsed
};

struct VerifyArgs {
    std::optional<std::filesystem::path> directory;
    uint64_t chunk_size = 0;  // at least 1 once parsed
    uint64_t jobs = 0;        // at least 1 once parsed
};

struct ShowArgs {
    std::filesystem::path filepath;  // exists and is not a directory
    bool verify_checksum = false;
};

struct CorruptFileArgs {
    std::filesystem::path filepath;  // exists
    Preset preset{};
    uint64_t start = 0;
    uint64_t length = 0;
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

// Where one parse puts its values: the top-level flag and the record of every command, each
// argument bound to its field by the grammar. Only the chosen command's record is used.
struct ArgRecords {
    bool version = false;
    GenArgs gen;
    VerifyArgs verify;
    ShowArgs show;
    CorruptFileArgs corrupt_file;
};

}  // namespace kro::cli
