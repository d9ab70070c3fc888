#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kro_process.hpp"
#include "store/worker_count.hpp"

namespace kro::test {
namespace {

const std::string HINT = "\nFor more information, try '--help'.\n";

constexpr std::string_view TOP_ABOUT = "Top-level argument grammar: `kro [--version] <COMMAND>`";
constexpr std::string_view TOP_LONG_ABOUT = R"help(Top-level argument grammar: `kro [--version] <COMMAND>`.

`kro --version` prints `kro, version <X.Y.Z>`; a bare `kro` prints this help and exits 2.)help";
constexpr std::string_view GEN_LONG_ABOUT = R"help(Generate content addressable files.

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
least two 1MB blocks per worker.)help";

// Every help page whole, as printed: the descriptions, help texts, value names and defaults of the
// grammar in the layout of the help formatter. "{jobs}" stands for the machine's worker budget.
const std::string TOP_SHORT_HELP = std::string(TOP_ABOUT) + R"help(

Usage: kro [OPTIONS] [COMMAND]

Commands:
  gen     Generate content addressable files
  verify  Verify content addressable files and analyze corruption
  dev     Development tools for testing kro
  help    Print this help or the help of the given command(s)

Options:
      --version  Show the version and exit
  -h, --help     Print help ('--help' for more)
)help";

const std::string TOP_LONG_HELP = std::string(TOP_LONG_ABOUT) + R"help(

Usage: kro [OPTIONS] [COMMAND]

Commands:
  gen     Generate content addressable files
  verify  Verify content addressable files and analyze corruption
  dev     Development tools for testing kro
  help    Print this help or the help of the given command(s)

Options:
      --version
          Show the version and exit

  -h, --help
          Print help ('-h' for a summary)
)help";

const std::string GEN_SHORT_HELP = R"help(Generate content addressable files

Usage: kro gen [OPTIONS]

Options:
      --directory <DIRECTORY>  The directory where files will be generated
      --format <FORMAT>        KRO file format to generate. Version 3 is the default [default: v3] [possible values: v2, v3]
      --seed <TEXT>            Reproduce a KRO v3 dataset from exact, nonempty UTF-8 seed text
      --max-files <INTEGER>    The maximum number of files to generate
      --max-disk-usage <SIZE>  The maximum disk space to use when generating files
      --file-size <FILESIZE>   The size of the files that are generated.  Value is either in bytes or can be suffixed with kb, mb, gb, etc.  Suffix is case insensitive (we know what you mean).  A random distribution (Type=lognormal or Type=pareto) is sampled between Min and Max; see --help for the full grammar [default: 4096]
      --jobs <INTEGER>         Number of worker threads used to generate each file's content. Defaults to a CPU-aware worker budget; the files produced are identical at any count. Only large files are split across workers [default: {jobs}]
  -h, --help                   Print help ('--help' for more)
)help";

const std::string GEN_LONG_HELP = std::string(GEN_LONG_ABOUT) + R"help(

Usage: kro gen [OPTIONS]

Options:
      --directory <DIRECTORY>
          The directory where files will be generated

      --format <FORMAT>
          KRO file format to generate. Version 3 is the default

          [default: v3]
          [possible values: v2, v3]

      --seed <TEXT>
          Reproduce a KRO v3 dataset from exact, nonempty UTF-8 seed text

      --max-files <INTEGER>
          The maximum number of files to generate

      --max-disk-usage <SIZE>
          The maximum disk space to use when generating files

      --file-size <FILESIZE>
          The size of the files that are generated.  Value is either in bytes or can be suffixed with kb, mb, gb, etc.  Suffix is case insensitive (we know what you mean).  A random distribution (Type=lognormal or Type=pareto) is sampled between Min and Max; see --help for the full grammar

          [default: 4096]

      --jobs <INTEGER>
          Number of worker threads used to generate each file's content. Defaults to a CPU-aware worker budget; the files produced are identical at any count. Only large files are split across workers

          [default: {jobs}]

  -h, --help
          Print help ('-h' for a summary)
)help";

const std::string VERIFY_SHORT_HELP = R"help(Verify content addressable files and analyze corruption

Usage: kro verify [OPTIONS]

Options:
      --directory <DIRECTORY>  The directory to verify. Defaults to current directory
      --chunk-size <INTEGER>   Chunk size in bytes for corruption analysis. Smaller values provide more granular corruption detection but take longer. Common values: 512 (fine-grained), 4096 (4KB blocks), 65536 (64KB chunks) [default: 4096]
      --jobs <INTEGER>         Global verification-worker budget. Different files run in parallel, and large files use spare workers for segment reads and corruption analysis. Defaults to a CPU-aware worker budget; results are identical at any count [default: {jobs}]
  -h, --help                   Print help ('--help' for more)
)help";

const std::string VERIFY_LONG_HELP = R"help(Verify content addressable files and analyze corruption

Usage: kro verify [OPTIONS]

Options:
      --directory <DIRECTORY>
          The directory to verify. Defaults to current directory

      --chunk-size <INTEGER>
          Chunk size in bytes for corruption analysis. Smaller values provide more granular corruption detection but take longer. Common values: 512 (fine-grained), 4096 (4KB blocks), 65536 (64KB chunks)

          [default: 4096]

      --jobs <INTEGER>
          Global verification-worker budget. Different files run in parallel, and large files use spare workers for segment reads and corruption analysis. Defaults to a CPU-aware worker budget; results are identical at any count

          [default: {jobs}]

  -h, --help
          Print help ('-h' for a summary)
)help";

const std::string DEV_SHORT_HELP = R"help(Development tools for testing kro

Usage: kro dev <COMMAND>

Commands:
  show          Print diagnostic information about a KRO content file
  corrupt-file  Intentionally corrupt a file for testing verification
  help          Print this help or the help of the given command(s)

Options:
  -h, --help  Print help ('--help' for more)
)help";

const std::string DEV_LONG_HELP = R"help(Development tools for testing kro

Usage: kro dev <COMMAND>

Commands:
  show          Print diagnostic information about a KRO content file
  corrupt-file  Intentionally corrupt a file for testing verification
  help          Print this help or the help of the given command(s)

Options:
  -h, --help
          Print help ('-h' for a summary)
)help";

const std::string SHOW_SHORT_HELP = R"help(Print diagnostic information about a KRO content file

Usage: kro dev show [OPTIONS] <FILEPATH>

Arguments:
  <FILEPATH>  Path to the KRO content file to inspect

Options:
      --verify-checksum  Calculate the version-specific file ID and verify it matches the ID implied by the KRO path layout
  -h, --help             Print help ('--help' for more)
)help";

const std::string SHOW_LONG_HELP = R"help(Print diagnostic information about a KRO content file

Usage: kro dev show [OPTIONS] <FILEPATH>

Arguments:
  <FILEPATH>
          Path to the KRO content file to inspect

Options:
      --verify-checksum
          Calculate the version-specific file ID and verify it matches the ID implied by the KRO path layout

  -h, --help
          Print help ('-h' for a summary)
)help";

const std::string CORRUPT_FILE_SHORT_HELP = R"help(Intentionally corrupt a file for testing verification

Usage: kro dev corrupt-file [OPTIONS] <FILEPATH>

Arguments:
  <FILEPATH>  Path to the file to corrupt

Options:
      --preset <PRESET>   Corruption preset: "zero" fills with zeros, "random" fills with random bytes [default: random] [possible values: zero, random]
      --start <INTEGER>   Starting byte offset for corruption [default: 0]
      --length <INTEGER>  Number of bytes to corrupt [default: 100]
      --seed <INTEGER>    Random seed for reproducible corruption (only applies to "random" preset)
  -h, --help              Print help ('--help' for more)
)help";

const std::string CORRUPT_FILE_LONG_HELP = R"help(Intentionally corrupt a file for testing verification

Usage: kro dev corrupt-file [OPTIONS] <FILEPATH>

Arguments:
  <FILEPATH>
          Path to the file to corrupt

Options:
      --preset <PRESET>
          Corruption preset: "zero" fills with zeros, "random" fills with random bytes

          Possible values:
          - zero:   Overwrite the range with zero bytes
          - random: Overwrite the range with random bytes

          [default: random]

      --start <INTEGER>
          Starting byte offset for corruption

          [default: 0]

      --length <INTEGER>
          Number of bytes to corrupt

          [default: 100]

      --seed <INTEGER>
          Random seed for reproducible corruption (only applies to "random" preset)

  -h, --help
          Print help ('-h' for a summary)
)help";

// The page with the machine's worker budget in place of "{jobs}".
std::string with_jobs(const std::string& page) {
    return substitute(page, {{"jobs", std::to_string(store::default_worker_count())}});
}

KroResult usage_error(std::vector<std::string> args) {
    KroResult result = run_kro(std::move(args));
    EXPECT_EQ(result.status, 2) << result.err;
    EXPECT_EQ(result.out, "");
    return result;
}

void expect_contains(const std::string& text, std::string_view piece) {
    EXPECT_NE(text.find(piece), std::string::npos) << "missing: " << piece << "\nin:\n" << text;
}

TEST(VersionTest, PrintsTheVersionAloneOnStandardOutput) {
    const KroResult result = run_kro({"--version"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "kro, version 0.5.0\n");
    EXPECT_EQ(result.err, "");
}

TEST(VersionTest, WithACommandTheCommandIsParsedButNotRun) {
    const std::filesystem::path missing = std::filesystem::temp_directory_path() / "kro-version-test-missing";
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--version", "verify", "--directory", missing.string()},
             {"--version", "gen", "--directory", missing.string()},
         }) {
        const KroResult result = run_kro(args);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out, "kro, version 0.5.0\n");
        EXPECT_EQ(result.err, "");
        EXPECT_FALSE(std::filesystem::exists(missing));
    }
}

TEST(VersionTest, ValuesAreValidatedBeforeTheVersionIsPrinted) {
    const KroResult result = usage_error({"--version", "gen", "--jobs", "0"});
    EXPECT_EQ(result.err,
              "error: invalid value '0' for '--jobs <INTEGER>': 0 is not an integer of at least 1\n" + HINT);
}

TEST(VersionTest, OnlyBeforeTheCommandAndNeverAsAShortFlag) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-V"}, {"gen", "-V"}, {"gen", "--version"}, {"dev", "show", "--version", "/dev/null"}}) {
        const KroResult result = usage_error(args);
        expect_contains(result.err, "error: unexpected argument '" +
                                        args[args.size() > 2 ? 2 : args.size() - 1] + "' found");
    }
}

TEST(HelpTest, BareCommandsPrintTheirShortHelpOnStandardErrorWithStatus2) {
    EXPECT_EQ(usage_error({}).err, TOP_SHORT_HELP);
    EXPECT_EQ(usage_error({"dev"}).err, DEV_SHORT_HELP);
}

TEST(HelpTest, HelpRequestsPrintOnStandardOutputWithStatus0) {
    for (const auto& args : std::vector<std::vector<std::string>>{{"-h"},
                                                                  {"--help"},
                                                                  {"help"},
                                                                  {"help", "gen"},
                                                                  {"gen", "-h"},
                                                                  {"gen", "--help"},
                                                                  {"dev", "-h"},
                                                                  {"dev", "help"},
                                                                  {"dev", "help", "show"},
                                                                  {"help", "dev", "corrupt-file"},
                                                                  {"dev", "show", "-h"},
                                                                  {"verify", "--jobs", "2", "--help"},
                                                                  {"help", "help"},
                                                                  {"help", "-h"},
                                                                  {"dev", "help", "--help"}}) {
        const KroResult result = run_kro(args);
        EXPECT_EQ(result.status, 0) << args[0];
        EXPECT_EQ(result.err, "");
        expect_contains(result.out, "Usage: kro");
    }
}

TEST(HelpTest, TopLevelShortAndLongDescriptions) {
    EXPECT_EQ(run_kro({"-h"}).out, TOP_SHORT_HELP);
    for (const auto& args : std::vector<std::vector<std::string>>{{"--help"}, {"help"}}) {
        EXPECT_EQ(run_kro(args).out, TOP_LONG_HELP) << args[0];
    }
}

TEST(HelpTest, GenLongHelpHasTheLongDescriptionAndEveryArgument) {
    for (const auto& args : std::vector<std::vector<std::string>>{{"gen", "--help"}, {"help", "gen"}}) {
        EXPECT_EQ(run_kro(args).out, with_jobs(GEN_LONG_HELP)) << args[0];
    }
}

TEST(HelpTest, DefaultJobsIsTheMachineBudgetAsABareNumber) {
    const std::string out = run_kro({"gen", "--help"}).out;
    const size_t jobs = out.find("--jobs <INTEGER>");
    ASSERT_NE(jobs, std::string::npos);
    const size_t start = out.find("[default: ", jobs);
    ASSERT_NE(start, std::string::npos);
    const std::string value = out.substr(start + 10, out.find(']', start) - start - 10);
    EXPECT_FALSE(value.empty());
    EXPECT_EQ(value.find_first_not_of("0123456789"), std::string::npos) << value;
}

TEST(HelpTest, ShortHelpShowsOnlyTheOneLineDescription) {
    EXPECT_EQ(run_kro({"gen", "-h"}).out, with_jobs(GEN_SHORT_HELP));
    EXPECT_EQ(run_kro({"verify", "--help"}).out, with_jobs(VERIFY_LONG_HELP));
}

TEST(HelpTest, VerifyAndDevHelpTexts) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> pages = {
        {{"verify", "--help"}, with_jobs(VERIFY_LONG_HELP)},
        {{"verify", "-h"}, with_jobs(VERIFY_SHORT_HELP)},
        {{"dev", "--help"}, DEV_LONG_HELP},
        {{"dev", "-h"}, DEV_SHORT_HELP},
        {{"dev", "show", "--help"}, SHOW_LONG_HELP},
        {{"help", "dev", "show"}, SHOW_LONG_HELP},
        {{"dev", "show", "-h"}, SHOW_SHORT_HELP},
        {{"dev", "corrupt-file", "--help"}, CORRUPT_FILE_LONG_HELP},
        {{"dev", "help", "corrupt-file"}, CORRUPT_FILE_LONG_HELP},
        {{"dev", "corrupt-file", "-h"}, CORRUPT_FILE_SHORT_HELP},
    };
    for (const auto& [args, page] : pages) {
        const KroResult result = run_kro(args);
        std::string command;
        for (const std::string& arg : args) command += " " + arg;
        EXPECT_EQ(result.status, 0) << command;
        EXPECT_EQ(result.out, page) << command;
    }
}

TEST(HelpTest, ProgramNameIsKroWhateverTheExecutableIsCalled) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("kro-name-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::filesystem::create_symlink(KRO_BINARY, dir / "something-else");
    FILE* pipe = ::popen(((dir / "something-else").string() + " gen -h 2>&1").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    char chunk[4096];
    while (const size_t n = std::fread(chunk, 1, sizeof chunk, pipe)) out.append(chunk, n);
    EXPECT_EQ(::pclose(pipe), 0);
    std::filesystem::remove_all(dir);
    EXPECT_EQ(out, with_jobs(GEN_SHORT_HELP));
}

struct UsageCase {
    std::vector<std::string> args;
    std::string err;
};

TEST(UsageErrorTest, EveryFormOfMistakeIsReportedExactly) {
    const std::vector<UsageCase> cases = {
        {{"gen", "--jbos", "3"},
         "error: unexpected argument '--jbos' found\n\n  tip: a similar argument exists: '--jobs'\n\nUsage: "
         "kro gen [OPTIONS]\n" +
             HINT},
        {{"gen", "--bogus=3"},
         "error: unexpected argument '--bogus' found\n\nUsage: kro gen [OPTIONS]\n" + HINT},
        {{"gne"},
         "error: unrecognized subcommand 'gne'\n\n  tip: a similar subcommand exists: 'gen'\n\nUsage: kro "
         "[OPTIONS] [COMMAND]\n" +
             HINT},
        {{"dev", "shwo", "x"},
         "error: unrecognized subcommand 'shwo'\n\n  tip: a similar subcommand exists: 'show'\n\nUsage: kro "
         "dev <COMMAND>\n" +
             HINT},
        {{"help", "nope"},
         "error: unrecognized subcommand 'nope'\n\nUsage: kro [OPTIONS] [COMMAND]\n" + HINT},
        {{"gen", "extra"}, "error: unexpected argument 'extra' found\n\nUsage: kro gen [OPTIONS]\n" + HINT},
        {{"gen", "--format", "V3"},
         "error: invalid value 'V3' for '--format <FORMAT>'\n  [possible values: v2, v3]\n\n  tip: a similar "
         "value exists: "
         "'v3'\n" +
             HINT},
        {{"dev", "corrupt-file", "/dev/null", "--preset", "ones"},
         "error: invalid value 'ones' for '--preset <PRESET>'\n  [possible values: zero, random]\n" + HINT},
        {{"gen", "--directory"},
         "error: a value is required for '--directory <DIRECTORY>' but none was supplied\n" + HINT},
        {{"dev", "corrupt-file", "/dev/null", "--start", "-1"},
         "error: a value is required for '--start <INTEGER>' but none was supplied\n\n  tip: to pass '-1' as "
         "a value, use "
         "'--start=-1'\n" +
             HINT},
        {{"gen", "--jobs", "1", "--jobs", "2"},
         "error: the argument '--jobs <INTEGER>' cannot be used multiple times\n\nUsage: kro gen "
         "[OPTIONS]\n" +
             HINT},
        {{"--version", "--version"},
         "error: the argument '--version' cannot be used multiple times\n\nUsage: kro [OPTIONS] [COMMAND]\n" +
             HINT},
        {{"--version=yes"},
         "error: unexpected value 'yes' for '--version' found; no more were expected\n\nUsage: kro [OPTIONS] "
         "[COMMAND]\n" +
             HINT},
        {{"dev", "show"},
         "error: the following required arguments were not provided:\n  <FILEPATH>\n\nUsage: kro dev show "
         "[OPTIONS] "
         "<FILEPATH>\n" +
             HINT},
        {{"dev", "show", "/dev/null", "/dev/zero"},
         "error: unexpected argument '/dev/zero' found\n\nUsage: kro dev show [OPTIONS] <FILEPATH>\n" + HINT},
        {{"dev", "show", "-5"},
         "error: unexpected argument '-5' found\n\n  tip: to pass '-5' as a value, use '-- -5'\n\nUsage: kro "
         "dev show "
         "[OPTIONS] <FILEPATH>\n" +
             HINT},
        {{"dev", "--"},
         "error: a subcommand is required but one was not provided\n\nUsage: kro dev <COMMAND>\n" + HINT},
        // Every value but a directory must be UTF-8, after "=" or as the next word.
        {{"gen", "--seed", "\xff"},
         "error: invalid UTF-8 was detected in one or more arguments\n\nUsage: kro gen [OPTIONS]\n" + HINT},
        {{"gen", "--directory=\xff", "--seed=bad\xc3"},
         "error: invalid UTF-8 was detected in one or more arguments\n\nUsage: kro gen [OPTIONS]\n" + HINT},
        {{"verify", "--directory\xff=x"},
         "error: invalid UTF-8 was detected in one or more arguments\n\nUsage: kro verify [OPTIONS]\n" +
             HINT},
        {{"dev", "show", "bad\xc3"},
         "error: invalid UTF-8 was detected in one or more arguments\n\nUsage: kro dev show [OPTIONS] "
         "<FILEPATH>\n" +
             HINT},
    };
    for (const UsageCase& c : cases) {
        const KroResult result = usage_error(c.args);
        EXPECT_EQ(result.err, c.err) << c.args[0] << " " << (c.args.size() > 1 ? c.args[1] : "");
    }
}

TEST(UsageErrorTest, ValueParsersQuoteTheArgumentAsTyped) {
    const auto invalid = [](std::string value, std::string argument, std::string message) {
        return "error: invalid value '" + value + "' for '" + argument + "': " + message + "\n" + HINT;
    };
    const std::vector<UsageCase> cases = {
        {{"gen", "--jobs", "0"}, invalid("0", "--jobs <INTEGER>", "0 is not an integer of at least 1")},
        {{"gen", "--jobs="}, invalid("", "--jobs <INTEGER>", " is not an integer of at least 1")},
        {{"gen", "--jobs", " 4"}, invalid(" 4", "--jobs <INTEGER>", " 4 is not an integer of at least 1")},
        {{"gen", "--jobs", "4.0"}, invalid("4.0", "--jobs <INTEGER>", "4.0 is not an integer of at least 1")},
        {{"gen", "--jobs", "1_000"},
         invalid("1_000", "--jobs <INTEGER>", "1_000 is not an integer of at least 1")},
        {{"verify", "--chunk-size", "0"},
         invalid("0", "--chunk-size <INTEGER>", "0 is not an integer of at least 1")},
        {{"verify", "--chunk-size", "18446744073709551616"},
         invalid("18446744073709551616", "--chunk-size <INTEGER>",
                 "18446744073709551616 is not an integer of at least 1")},
        {{"verify", "--jobs", "0"}, invalid("0", "--jobs <INTEGER>", "0 is not an integer of at least 1")},
        {{"gen", "--max-files", "1.5"}, invalid("1.5", "--max-files <INTEGER>", "1.5 is not an integer")},
        {{"gen", "--max-files", "--jobs"},
         invalid("--jobs", "--max-files <INTEGER>", "--jobs is not an integer")},
        {{"gen", "--file-size", "abc"},
         invalid("abc", "--file-size <FILESIZE>", "unknown size specifier abc")},
        {{"gen", "--file-size", "5MB-1MB"},
         invalid("5MB-1MB", "--file-size <FILESIZE>", "empty size range: start 5242880 exceeds end 1048576")},
        {{"gen", "--max-disk-usage", "2.5"},
         invalid("2.5", "--max-disk-usage <SIZE>",
                 "invalid size specifier 2.5: a decimal needs a size suffix such as 1.5MB")},
        {{"gen", "--seed", ""}, invalid("", "--seed <TEXT>", "generation seed must not be empty")},
        {{"gen", "--seed="}, invalid("", "--seed <TEXT>", "generation seed must not be empty")},
        {{"dev", "corrupt-file", "/dev/null", "--seed", "18446744073709551616"},
         invalid("18446744073709551616", "--seed <INTEGER>", "number too large to fit in target type")},
        {{"dev", "corrupt-file", "/dev/null", "--start=-1"},
         invalid("-1", "--start <INTEGER>", "invalid digit found in string")},
        {{"dev", "corrupt-file", "/no/such/file"},
         invalid("/no/such/file", "<FILEPATH>", "path /no/such/file does not exist")},
        {{"dev", "show", "/"}, invalid("/", "<FILEPATH>", "/ is a directory")},
        // A name from a store pasted on the command line cannot rewrite the terminal.
        {{"dev", "show", "/no/such/\x1b]0;x\x07\r"},
         invalid("/no/such/\\x1b]0;x\\x07\\x0d", "<FILEPATH>",
                 "path /no/such/\\x1b]0;x\\x07\\x0d does not exist")},
        {{"gen", "--file-size", "\x1b[2J"},
         invalid("\\x1b[2J", "--file-size <FILESIZE>", "unknown size specifier \\x1b[2J")},
    };
    for (const UsageCase& c : cases) {
        const KroResult result = usage_error(c.args);
        EXPECT_EQ(result.err, c.err) << c.args[0] << " " << c.args[1];
    }
}

TEST(UsageErrorTest, ColouredOnlyWhereTheEnvironmentAndTerminalAllow) {
    KroRun run;
    run.args = {"gen", "--jbos"};
    run.stderr_tty = true;
    run.env = {{"TERM", "xterm"},
               {"NO_COLOR", std::nullopt},
               {"CLICOLOR", std::nullopt},
               {"CLICOLOR_FORCE", std::nullopt},
               {"CI", std::nullopt}};
    const KroResult colored = run_kro(run);
    EXPECT_EQ(colored.status, 2);
    expect_contains(colored.err, "\x1b[1;31merror:\x1b[0m unexpected argument '--jbos' found\n");
    expect_contains(colored.err, "\x1b[32mtip:\x1b[0m a similar argument exists: '--jobs'\n");
    expect_contains(colored.err, "\x1b[1mUsage:\x1b[0m kro gen [OPTIONS]\n");

    run.env["NO_COLOR"] = "1";
    EXPECT_EQ(run_kro(run).err.find('\x1b'), std::string::npos);
    run.env["NO_COLOR"] = std::nullopt;
    run.env["TERM"] = "dumb";
    EXPECT_EQ(run_kro(run).err.find('\x1b'), std::string::npos);

    run.stderr_tty = false;
    run.env["TERM"] = "xterm";
    EXPECT_EQ(run_kro(run).err.find('\x1b'), std::string::npos);
    run.env["CLICOLOR_FORCE"] = "1";
    expect_contains(run_kro(run).err, "\x1b[1;31merror:\x1b[0m");
}

TEST(OutputTest, AFailedWriteToStandardOutputIsABrokenInvariant) {
    KroRun run;
    run.args = {"--version"};
    run.stdout_closed = true;
    const KroResult result = run_kro(run);
    EXPECT_EQ(result.status, 101);
    expect_contains(result.err, "failed printing to stdout: Broken pipe");
    // The location names a file of the project, not a path on the machine that built it.
    expect_contains(result.err, " at src/");
    EXPECT_EQ(result.err.find(KRO_SOURCE_DIR), std::string::npos) << result.err;
}

}  // namespace
}  // namespace kro::test
