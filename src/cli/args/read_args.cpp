#include "cli/args/read_args.hpp"

namespace kro::cli {
namespace {

// Reads fields in order; the first required id that is missing is the error.
class RecordReader {
  public:
    explicit RecordReader(ArgMatches& matches) : matches_(matches) {}

    template <typename T>
    void required(std::string_view id, T& field) {
        if (error_) return;
        auto value = matches_.take<T>(id);
        if (!value) {
            error_ = UsageError::missing_required_id(id);
            return;
        }
        field = std::move(*value);
    }

    template <typename T>
    void optional(std::string_view id, std::optional<T>& field) {
        if (!error_) field = matches_.take<T>(id);
    }

    template <typename Record>
    std::expected<Record, UsageError> finish(Record record) {
        if (error_) return std::unexpected(std::move(*error_));
        return record;
    }

  private:
    ArgMatches& matches_;
    std::optional<UsageError> error_;
};

// Turns a record into the command alternative that holds it.
template <typename Command, typename Record>
std::expected<Command, UsageError> as_command(std::expected<Record, UsageError> record) {
    if (!record) return std::unexpected(std::move(record.error()));
    return Command(std::move(*record));
}

std::expected<Dev, UsageError> dev_from_matches(ArgMatches& matches) {
    auto sub = matches.take_subcommand();
    if (!sub) return std::unexpected(UsageError::missing_subcommand({}));
    auto& [name, sub_matches] = *sub;
    std::expected<DevCommand, UsageError> command =
        std::unexpected(UsageError::unknown_subcommand_name(name));
    if (name == "show") command = as_command<DevCommand>(show_args_from_matches(sub_matches));
    if (name == "corrupt-file") command = as_command<DevCommand>(corrupt_file_args_from_matches(sub_matches));
    if (!command) return std::unexpected(std::move(command.error()));
    return Dev{std::move(*command)};
}

}  // namespace

std::expected<GenArgs, UsageError> gen_args_from_matches(ArgMatches& matches) {
    GenArgs args;
    RecordReader read(matches);
    read.optional("directory", args.directory);
    read.required("format", args.format);
    read.optional("seed", args.seed);
    read.optional("max_files", args.max_files);
    read.optional("max_disk_usage", args.max_disk_usage);
    read.required("file_size", args.file_size);
    read.required("jobs", args.jobs);
    return read.finish(std::move(args));
}

std::expected<VerifyArgs, UsageError> verify_args_from_matches(ArgMatches& matches) {
    VerifyArgs args;
    RecordReader read(matches);
    read.optional("directory", args.directory);
    read.required("chunk_size", args.chunk_size);
    read.required("jobs", args.jobs);
    return read.finish(std::move(args));
}

std::expected<ShowArgs, UsageError> show_args_from_matches(ArgMatches& matches) {
    ShowArgs args;
    RecordReader read(matches);
    read.required("filepath", args.filepath);
    read.required("verify_checksum", args.verify_checksum);
    return read.finish(std::move(args));
}

std::expected<CorruptFileArgs, UsageError> corrupt_file_args_from_matches(ArgMatches& matches) {
    CorruptFileArgs args;
    RecordReader read(matches);
    read.required("filepath", args.filepath);
    read.required("preset", args.preset);
    read.required("start", args.start);
    read.required("length", args.length);
    read.optional("seed", args.seed);
    return read.finish(std::move(args));
}

std::expected<Cli, UsageError> cli_from_matches(ArgMatches matches) {
    Cli cli;
    RecordReader read(matches);
    read.required("version", cli.version);
    if (auto checked = read.finish(true); !checked) return std::unexpected(std::move(checked.error()));
    auto sub = matches.take_subcommand();
    if (!sub) return cli;
    auto& [name, sub_matches] = *sub;
    std::expected<CliCommand, UsageError> command =
        std::unexpected(UsageError::unknown_subcommand_name(name));
    if (name == "gen") command = as_command<CliCommand>(gen_args_from_matches(sub_matches));
    if (name == "verify") command = as_command<CliCommand>(verify_args_from_matches(sub_matches));
    if (name == "dev") command = as_command<CliCommand>(dev_from_matches(sub_matches));
    if (!command) return std::unexpected(std::move(command.error()));
    cli.command = std::move(*command);
    return cli;
}

}  // namespace kro::cli
