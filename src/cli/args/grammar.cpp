#include "cli/args/grammar.hpp"

#include <algorithm>

#include "base/panic.hpp"
#include "cli/args/value_parsers.hpp"
#include "store/worker_count.hpp"

namespace kro::cli {
namespace {

constexpr std::string_view TOP_ABOUT = "Top-level argument grammar: `kro [--version] <COMMAND>`";
constexpr std::string_view TOP_LONG_ABOUT = R"kro(Top-level argument grammar: `kro [--version] <COMMAND>`.

The clap-native version flag is disabled so `--version` can print the `kro, version <X.Y.Z>` instead of clap's `kro <X.Y.Z>`. A bare `kro` prints help and exits 2.)kro";

constexpr std::string_view GEN_ABOUT = "Generate content addressable files";
constexpr std::string_view GEN_LONG_ABOUT = R"kro(Generate content addressable files.

This command will generate a set of linked, content addressable files.

The default behavior is to generate 100 files in the current directory.
Each file will be a fixed size of 4096 bytes:

    kro gen

You can specify the directory where the files should be generated,
the maximum number of files to generate, and indicate that each file
should be of an exact size:

    kro gen --directory /tmp/files --max-files 1000 --file-size 4KB

Use --seed with KRO v3 to reproduce a dataset. In a fresh directory, identical generation
arguments and seed text produce identical file sizes, contents, relative paths,
and KRO metadata across releases. Directory and worker count may differ.
Seed text is used exactly as given; an empty seed or --format v2 is a usage error:

    kro gen --seed blahblah --max-files 100 --file-size 4096 --format v3

The --max-files is one of two stopping conditions.  A stopping
condition is what indicates when this command should stop generating
files.  The other stopping condition is "--max-disk-usage".  Either
stopping condition can be used.  If both stopping conditions are
specified, then this command will stop generating files as soon as any
stopping condition is met.

For example, this command will generate files until either 10000 files
are generated, or we've used 100MB of space:

    kro gen --directory /tmp/files --max-files 10000 --max-disk-usage 100MB

The --max-disk-usage is useful when we don't have a fixed file size.
This command gives you several options for specifying a range of file
sizes that can be randomly chosen.  For example, we could generate
files that have a random size between 4048KB and 10MB:

    kro gen --file-size 4048KB-10MB

Instead of specifying a range of file sizes, you can also specify a
random distribution that the file sizes should follow.  Every
distribution is sampled inside a band from Min to Max.  Min defaults
to 60 bytes, the header size.  Max is required because both
distributions have heavy tails.  A sample outside the band is redrawn,
so no file is ever larger than Max.  Before sampling, a conservative
probability bound must show that the band holds at least 0.5% of the
distribution; unsupported bands fail before any files are written.

A lognormal distribution takes the median file size in bytes and Sigma,
the spread in log space.  Sigma=1 puts 68% of files within a factor of
2.7 of the median; a small Sigma such as 0.05 gives a tight bell curve
around the median:

    kro gen --file-size Type=lognormal,Median=1MB,Sigma=1,Max=1GB
    kro gen --file-size Type=lognormal,Median=20MB,Sigma=0.05,Max=30MB

A Pareto distribution produces many small files and a few very large
ones.  Min is the smallest file, Max the largest, and Alpha controls
how fast the count falls off; smaller Alpha means more large files.
The fraction of files larger than X is (Min / X) ^ Alpha.  This example
keeps half the files under 7KB while about one in 800 exceeds 1MB:

    kro gen --file-size Type=pareto,Min=4KB,Max=1GB,Alpha=1.2

Parameter values accept decimals with a size suffix (1.5MB) and plain
decimals for Sigma and Alpha.

Writing one very large file is normally limited by the single core
generating its content.  The --jobs option spreads that work over
worker threads:

    kro gen --max-files 1 --file-size 64MB --jobs 8

The files produced are byte for byte identical at any --jobs value, so
this only changes how long generation takes.  Small files are always
generated on one thread: splitting pays off only once a file has at
least two 1MB blocks per worker.)kro";

// A fixed choice: the names of `values` (in their order) and a parser that maps a name back.
template <typename E>
void set_choices(ArgSpec& spec, std::vector<E> values, PossibleValue (*possible)(E)) {
    for (const E value : values) spec.possible_values.push_back(possible(value));
    spec.parser = [values = std::move(values),
                   possible](const std::string& text) -> std::expected<std::any, std::string> {
        for (const E value : values) {
            if (possible(value).name == text) return std::any(value);
        }
        return std::unexpected(std::string("not one of the possible values"));
    };
}

// A directory is taken as typed; whether it exists is the command's business.
std::expected<std::filesystem::path, ValueError> parse_path(const std::string& text) {
    return std::filesystem::path(text);
}

ArgSpec option(std::string id, std::string long_name, std::string value_name, std::string help) {
    ArgSpec spec;
    spec.id = std::move(id);
    spec.long_name = std::move(long_name);
    spec.value_name = std::move(value_name);
    spec.help = std::move(help);
    return spec;
}

ArgSpec flag(std::string id, std::string long_name, std::string help) {
    return option(std::move(id), std::move(long_name), {}, std::move(help));
}

// A store directory: a path that the file system accepts, whatever its bytes.
ArgSpec directory_option(std::string help) {
    ArgSpec spec = option("directory", "directory", "DIRECTORY", std::move(help));
    spec.parser = value_parser(parse_path);
    spec.any_bytes = true;
    return spec;
}

ArgSpec positional(std::string id, std::string value_name, std::string help, ValueParser parser) {
    ArgSpec spec = option(std::move(id), {}, std::move(value_name), std::move(help));
    spec.parser = std::move(parser);
    spec.required = true;
    return spec;
}

ArgSpec with_parser(ArgSpec spec, ValueParser parser,
                    std::optional<std::string> default_text = std::nullopt) {
    spec.parser = std::move(parser);
    spec.default_text = std::move(default_text);
    return spec;
}

ArgSpec unsigned_option(std::string id, std::string long_name, std::string help,
                        std::optional<std::string> default_text) {
    return with_parser(option(std::move(id), std::move(long_name), "INTEGER", std::move(help)),
                       value_parser(parse_unsigned), std::move(default_text));
}

}  // namespace

std::string ArgSpec::display() const {
    if (positional()) return "<" + value_name + ">";
    if (flag()) return "--" + long_name;
    return "--" + long_name + " <" + value_name + ">";
}

Command& Command::arg(ArgSpec spec) {
    args.push_back(std::move(spec));
    return *this;
}

Command& Command::subcommand(Command command) {
    subcommands.push_back(std::move(command));
    return *this;
}

const ArgSpec* Command::find_long(std::string_view long_name) const {
    const auto it = std::ranges::find_if(
        args, [&](const ArgSpec& spec) { return !spec.positional() && spec.long_name == long_name; });
    return it == args.end() ? nullptr : &*it;
}

const Command* Command::find_subcommand(std::string_view wanted) const {
    const auto it =
        std::ranges::find_if(subcommands, [&](const Command& command) { return command.name == wanted; });
    return it == subcommands.end() ? nullptr : &*it;
}

const std::string& default_chunk_size_text() {
    static const std::string text = std::to_string(4096);
    return text;
}

const std::string& default_jobs_text() {
    static const std::string text = std::to_string(store::default_worker_count());
    return text;
}

const std::string& default_preset_text() {
    static const std::string text = preset_possible_value(Preset::Random).name;
    return text;
}

const std::string& default_start_text() {
    static const std::string text = "0";
    return text;
}

const std::string& default_length_text() {
    static const std::string text = "100";
    return text;
}

PossibleValue format_version_possible_value(format::FormatVersion version) {
    return {version == format::FormatVersion::V2 ? "v2" : "v3", {}};
}

PossibleValue preset_possible_value(Preset preset) {
    if (preset == Preset::Zero) return {"zero", "Overwrite the range with zero bytes"};
    return {"random", "Overwrite the range with random bytes"};
}

Command gen_args_augment(Command command) {
    ArgSpec format =
        option("format", "format", "FORMAT", "KRO file format to generate. Version 3 is the default");
    set_choices(format, {format::FormatVersion::V2, format::FormatVersion::V3},
                format_version_possible_value);
    format.default_text = "v3";
    ArgSpec max_files =
        with_parser(option("max_files", "max-files", "INTEGER", "The maximum number of files to generate"),
                    value_parser(parse_integer));
    max_files.allow_hyphen_values = true;
    command.arg(directory_option("The directory where files will be generated"))
        .arg(std::move(format))
        .arg(with_parser(
            option("seed", "seed", "TEXT", "Reproduce a KRO v3 dataset from exact, nonempty UTF-8 seed text"),
            value_parser(parse_seed_arg)))
        .arg(std::move(max_files))
        .arg(with_parser(option("max_disk_usage", "max-disk-usage", "SIZE",
                                "The maximum disk space to use when generating files"),
                         value_parser(parse_byte_size_arg)))
        .arg(with_parser(
            option("file_size", "file-size", "FILESIZE",
                   "The size of the files that are generated.  Value is either in bytes or can be suffixed "
                   "with kb, mb, gb, "
                   "etc.  Suffix is case insensitive (we know what you mean).  A random distribution "
                   "(Type=lognormal or "
                   "Type=pareto) is sampled between Min and Max; see --help for the full grammar"),
            value_parser(parse_file_size_arg), "4096"))
        .arg(with_parser(
            option("jobs", "jobs", "INTEGER",
                   "Number of worker threads used to generate each file's content. Defaults to a CPU-aware "
                   "worker budget; the files produced are identical at any count. Only large files are split "
                   "across workers"),
            value_parser(parse_positive_integer), default_jobs_text()));
    return command;
}

Command verify_args_augment(Command command) {
    command.arg(directory_option("The directory to verify. Defaults to current directory"))
        .arg(with_parser(
            option("chunk_size", "chunk-size", "INTEGER",
                   "Chunk size in bytes for corruption analysis. Smaller values provide more granular "
                   "corruption detection but take longer. Common values: 512 (fine-grained), 4096 (4KB "
                   "blocks), 65536 (64KB chunks)"),
            value_parser(parse_positive_integer), default_chunk_size_text()))
        .arg(with_parser(
            option("jobs", "jobs", "INTEGER",
                   "Global verification-worker budget. Different files run in parallel, and large files use "
                   "spare workers for segment reads and corruption analysis. Defaults to a CPU-aware worker "
                   "budget; results are identical at any count"),
            value_parser(parse_positive_integer), default_jobs_text()));
    return command;
}

Command show_args_augment(Command command) {
    command
        .arg(positional("filepath", "FILEPATH", "Path to the KRO content file to inspect",
                        value_parser(parse_existing_file)))
        .arg(flag("verify_checksum", "verify-checksum",
                  "Calculate the version-specific file ID and verify it matches the ID implied by the KRO "
                  "path layout"));
    return command;
}

Command corrupt_file_args_augment(Command command) {
    ArgSpec preset =
        option("preset", "preset", "PRESET",
               R"(Corruption preset: "zero" fills with zeros, "random" fills with random bytes)");
    set_choices(preset, {Preset::Zero, Preset::Random}, preset_possible_value);
    preset.default_text = default_preset_text();
    command
        .arg(positional("filepath", "FILEPATH", "Path to the file to corrupt",
                        value_parser(parse_existing_path)))
        .arg(std::move(preset))
        .arg(unsigned_option("start", "start", "Starting byte offset for corruption", default_start_text()))
        .arg(unsigned_option("length", "length", "Number of bytes to corrupt", default_length_text()))
        .arg(unsigned_option("seed", "seed",
                             R"(Random seed for reproducible corruption (only applies to "random" preset))",
                             std::nullopt));
    return command;
}

Command build_cli_command() {
    Command kro;
    kro.name = "kro";
    kro.arg(flag("version", "version", "Show the version and exit"));

    Command gen;
    gen.name = "gen";
    gen.about = GEN_ABOUT;
    gen.long_about = GEN_LONG_ABOUT;
    kro.subcommand(gen_args_augment(std::move(gen)));

    Command verify;
    verify.name = "verify";
    verify.about = "Verify content addressable files and analyze corruption";
    kro.subcommand(verify_args_augment(std::move(verify)));

    Command show;
    show.name = "show";
    show.about = "Print diagnostic information about a KRO content file";
    Command corrupt;
    corrupt.name = "corrupt-file";
    corrupt.about = "Intentionally corrupt a file for testing verification";
    Command dev;
    dev.name = "dev";
    dev.about = "Development tools for testing kro";
    dev.subcommand_required = true;
    dev.help_on_empty = true;
    dev.subcommand(show_args_augment(std::move(show)))
        .subcommand(corrupt_file_args_augment(std::move(corrupt)));
    kro.subcommand(std::move(dev));

    kro.about = TOP_ABOUT;
    kro.long_about = TOP_LONG_ABOUT;
    kro.help_on_empty = true;
    return kro;
}

}  // namespace kro::cli
