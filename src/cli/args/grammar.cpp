#include "cli/args/grammar.hpp"

#include <algorithm>
#include <expected>
#include <filesystem>

#include "cli/args/value_parsers.hpp"
#include "store/worker_count.hpp"
#include "verify/verify_options.hpp"

namespace kro::cli {
namespace {

constexpr std::string_view TOP_ABOUT = "Top-level argument grammar: `kro [--version] <COMMAND>`";
constexpr std::string_view TOP_LONG_ABOUT = R"kro(Top-level argument grammar: `kro [--version] <COMMAND>`.

`kro --version` prints `kro, version <X.Y.Z>`; a bare `kro` prints this help and exits 2.)kro";

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

// An argument with all that names and shows it, and the binding that parses its value into
// its record field; `default_text` goes through that same binding when the argument is absent.
ArgSpec option(std::string id, std::string long_name, std::string value_name, std::string help, Binding bind,
               std::optional<std::string> default_text = std::nullopt) {
    ArgSpec spec;
    spec.id = std::move(id);
    spec.long_name = std::move(long_name);
    spec.value_name = std::move(value_name);
    spec.help = std::move(help);
    spec.bind = std::move(bind);
    spec.default_text = std::move(default_text);
    return spec;
}

ArgSpec flag(std::string id, std::string long_name, std::string help, bool& field) {
    return option(std::move(id), std::move(long_name), {}, std::move(help), bind_flag(field));
}

ArgSpec positional(std::string id, std::string value_name, std::string help, Binding bind) {
    ArgSpec spec = option(std::move(id), {}, std::move(value_name), std::move(help), std::move(bind));
    spec.required = true;
    return spec;
}

// A fixed choice: the names of `values` (in their order), each bound to its value.
template <typename E>
ArgSpec choice(ArgSpec spec, E& field, std::vector<E> values, PossibleValue (*possible)(E)) {
    for (const E value : values) spec.possible_values.push_back(possible(value));
    spec.bind = [&field, values = std::move(values),
                 possible](const std::string& text) -> std::expected<void, std::string> {
        for (const E value : values) {
            if (possible(value).name != text) continue;
            field = value;
            return {};
        }
        return std::unexpected(std::string("not one of the possible values"));
    };
    return spec;
}

// A directory is taken as typed; whether it exists is the command's business.
std::expected<std::filesystem::path, ValueError> parse_path(const std::string& text) {
    return std::filesystem::path(text);
}

// A store directory: a path that the file system accepts, whatever its bytes.
ArgSpec directory_option(std::string help, std::optional<std::filesystem::path>& field) {
    ArgSpec spec =
        option("directory", "directory", "DIRECTORY", std::move(help), bind_value(field, parse_path));
    spec.any_bytes = true;
    return spec;
}

// The worker budget of gen and verify: at least one, by default the machine's.
ArgSpec jobs_option(std::string help, uint64_t& field) {
    return option("jobs", "jobs", "INTEGER", std::move(help), bind_value(field, parse_positive_integer),
                  default_jobs_text());
}

// The value may be given as a next word that begins with "-".
ArgSpec taking_hyphen_values(ArgSpec spec) {
    spec.allow_hyphen_values = true;
    return spec;
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
    static const std::string text = std::to_string(verify::DEFAULT_CHUNK_SIZE);
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

Command add_gen_args(Command command, GenArgs& into) {
    command.arg(directory_option("The directory where files will be generated", into.directory))
        .arg(choice(option("format", "format", "FORMAT",
                           "KRO file format to generate. Version 3 is the default", {}, "v3"),
                    into.format, {format::FormatVersion::V2, format::FormatVersion::V3},
                    format_version_possible_value))
        .arg(option("seed", "seed", "TEXT", "Reproduce a KRO v3 dataset from exact, nonempty UTF-8 seed text",
                    bind_value(into.seed, parse_seed_arg)))
        .arg(taking_hyphen_values(option("max_files", "max-files", "INTEGER",
                                         "The maximum number of files to generate",
                                         bind_value(into.max_files, parse_integer))))
        .arg(option("max_disk_usage", "max-disk-usage", "SIZE",
                    "The maximum disk space to use when generating files",
                    bind_value(into.max_disk_usage, parse_byte_size_arg)))
        .arg(option("file_size", "file-size", "FILESIZE",
                    "The size of the files that are generated.  Value is either in bytes or can be suffixed "
                    "with kb, mb, gb, etc.  Suffix is case insensitive (we know what you mean).  A random "
                    "distribution (Type=lognormal or Type=pareto) is sampled between Min and Max; see --help "
                    "for the full grammar",
                    bind_value(into.file_size, parse_file_size_arg), "4096"))
        .arg(jobs_option(
            "Number of worker threads used to generate each file's content. Defaults to a CPU-aware "
            "worker budget; the files produced are identical at any count. Only large files are "
            "split across workers",
            into.jobs));
    return command;
}

Command add_verify_args(Command command, VerifyArgs& into) {
    command.arg(directory_option("The directory to verify. Defaults to current directory", into.directory))
        .arg(option("chunk_size", "chunk-size", "INTEGER",
                    "Chunk size in bytes for corruption analysis. Smaller values provide more granular "
                    "corruption detection but take longer. Common values: 512 (fine-grained), 4096 (4KB "
                    "blocks), 65536 (64KB chunks)",
                    bind_value(into.chunk_size, parse_positive_integer), default_chunk_size_text()))
        .arg(jobs_option(
            "Global verification-worker budget. Different files run in parallel, and large files "
            "use spare workers for segment reads and corruption analysis. Defaults to a CPU-aware "
            "worker budget; results are identical at any count",
            into.jobs));
    return command;
}

Command add_show_args(Command command, ShowArgs& into) {
    command
        .arg(positional("filepath", "FILEPATH", "Path to the KRO content file to inspect",
                        bind_value(into.filepath, parse_existing_file)))
        .arg(flag("verify_checksum", "verify-checksum",
                  "Calculate the version-specific file ID and verify it matches the ID implied by the KRO "
                  "path layout",
                  into.verify_checksum));
    return command;
}

Command add_corrupt_file_args(Command command, CorruptFileArgs& into) {
    command
        .arg(positional("filepath", "FILEPATH", "Path to the file to corrupt",
                        bind_value(into.filepath, parse_existing_path)))
        .arg(choice(option("preset", "preset", "PRESET",
                           R"(Corruption preset: "zero" fills with zeros, "random" fills with random bytes)",
                           {}, default_preset_text()),
                    into.preset, {Preset::Zero, Preset::Random}, preset_possible_value))
        .arg(option("start", "start", "INTEGER", "Starting byte offset for corruption",
                    bind_value(into.start, parse_unsigned), default_start_text()))
        .arg(option("length", "length", "INTEGER", "Number of bytes to corrupt",
                    bind_value(into.length, parse_unsigned), default_length_text()))
        .arg(option("seed", "seed", "INTEGER",
                    R"(Random seed for reproducible corruption (only applies to "random" preset))",
                    bind_value(into.seed, parse_unsigned)));
    return command;
}

Command build_cli_command(ArgRecords& into) {
    Command kro;
    kro.name = "kro";
    kro.arg(flag("version", "version", "Show the version and exit", into.version));

    Command gen;
    gen.name = "gen";
    gen.about = GEN_ABOUT;
    gen.long_about = GEN_LONG_ABOUT;
    gen.take_record = [&into] { return CliCommand(std::move(into.gen)); };
    kro.subcommand(add_gen_args(std::move(gen), into.gen));

    Command verify;
    verify.name = "verify";
    verify.about = "Verify content addressable files and analyze corruption";
    verify.take_record = [&into] { return CliCommand(std::move(into.verify)); };
    kro.subcommand(add_verify_args(std::move(verify), into.verify));

    Command show;
    show.name = "show";
    show.about = "Print diagnostic information about a KRO content file";
    show.take_record = [&into] { return CliCommand(Dev{std::move(into.show)}); };
    Command corrupt;
    corrupt.name = "corrupt-file";
    corrupt.about = "Intentionally corrupt a file for testing verification";
    corrupt.take_record = [&into] { return CliCommand(Dev{std::move(into.corrupt_file)}); };
    Command dev;
    dev.name = "dev";
    dev.about = "Development tools for testing kro";
    dev.subcommand_required = true;
    dev.help_on_empty = true;
    dev.subcommand(add_show_args(std::move(show), into.show))
        .subcommand(add_corrupt_file_args(std::move(corrupt), into.corrupt_file));
    kro.subcommand(std::move(dev));

    kro.about = TOP_ABOUT;
    kro.long_about = TOP_LONG_ABOUT;
    kro.help_on_empty = true;
    return kro;
}

}  // namespace kro::cli
