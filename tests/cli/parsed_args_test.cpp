#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "cli/args/binding.hpp"
#include "cli/args/command_line.hpp"
#include "cli/args/grammar.hpp"
#include "cli/args/value_parsers.hpp"
#include "store/worker_count.hpp"

namespace kro::cli {
namespace {

// Parses a command line that the grammar accepts into its records.
Cli parse(std::vector<std::string> args) {
    auto cli = parse_command_line(args);
    EXPECT_TRUE(cli.has_value()) << "status " << (cli ? 0 : cli.error());
    return std::move(*cli);
}

TEST(ParsedArgsTest, GenDefaults) {
    const Cli cli = parse({"gen"});
    EXPECT_FALSE(cli.version);
    const auto& gen = std::get<GenArgs>(*cli.command);
    EXPECT_FALSE(gen.directory);
    EXPECT_EQ(gen.format, format::FormatVersion::V3);
    EXPECT_FALSE(gen.seed);
    EXPECT_FALSE(gen.max_files);
    EXPECT_FALSE(gen.max_disk_usage);
    EXPECT_EQ(gen.file_size, gen::SizeSpec{gen::SizeSpec::Fixed{4096}});
    EXPECT_EQ(gen.jobs, store::default_worker_count());
}

TEST(ParsedArgsTest, GenValuesAfterEqualsOrAsTheNextWord) {
    const Cli cli = parse({"gen", "--directory=out", "--format", "v2", "--max-files=-5", "--max-disk-usage",
                           "1MB", "--file-size=1KB-2KB", "--jobs", "+3"});
    const auto& gen = std::get<GenArgs>(*cli.command);
    EXPECT_EQ(gen.directory, std::filesystem::path("out"));
    EXPECT_EQ(gen.format, format::FormatVersion::V2);
    EXPECT_EQ(gen.max_files, -5);
    EXPECT_EQ(gen.max_disk_usage, 1048576u);
    EXPECT_EQ(gen.file_size, (gen::SizeSpec{gen::SizeSpec::Range{1024, 2048}}));
    EXPECT_EQ(gen.jobs, 3u);
    EXPECT_EQ(std::get<GenArgs>(*parse({"gen", "--max-files", "-5"}).command).max_files, -5);
}

TEST(ParsedArgsTest, SeedBecomesTheMasterSeedOfItsExactText) {
    const auto seeded = std::get<GenArgs>(*parse({"gen", "--seed", "42"}).command);
    const auto blank = std::get<GenArgs>(*parse({"gen", "--seed=42 "}).command);
    ASSERT_TRUE(seeded.seed && blank.seed);
    EXPECT_EQ(*seeded.seed, gen::derive_master_seed("42").value());
    EXPECT_NE(*seeded.seed, *blank.seed);
}

// A directory is a path used as typed: it keeps every byte, valid UTF-8 or not.
TEST(ParsedArgsTest, DirectoryKeepsItsBytesWhetherOrNotTheyAreUtf8) {
    for (const std::string dir : {"st\xffore", "bad\xc3", "a\x1b[2J\n\xc2\x9b", "plain"}) {
        const auto gen = std::get<GenArgs>(*parse({"gen", "--directory", dir}).command);
        EXPECT_EQ(gen.directory->native(), dir);
        const auto verify = std::get<VerifyArgs>(*parse({"verify", "--directory=" + dir}).command);
        EXPECT_EQ(verify.directory->native(), dir);
    }
}

TEST(ParsedArgsTest, VerifyDefaults) {
    const auto verify = std::get<VerifyArgs>(*parse({"verify"}).command);
    EXPECT_FALSE(verify.directory);
    EXPECT_EQ(verify.chunk_size, 4096u);
    EXPECT_EQ(verify.jobs, store::default_worker_count());
}

TEST(ParsedArgsTest, DevCommandsAndTheirDefaults) {
    const auto show = std::get<ShowArgs>(std::get<Dev>(*parse({"dev", "show", "/dev/null"}).command).command);
    EXPECT_EQ(show.filepath, std::filesystem::path("/dev/null"));
    EXPECT_FALSE(show.verify_checksum);
    EXPECT_TRUE(std::get<ShowArgs>(
                    std::get<Dev>(*parse({"dev", "show", "--verify-checksum", "/dev/null"}).command).command)
                    .verify_checksum);

    const auto corrupt =
        std::get<CorruptFileArgs>(std::get<Dev>(*parse({"dev", "corrupt-file", "/"}).command).command);
    EXPECT_EQ(corrupt.preset, Preset::Random);
    EXPECT_EQ(corrupt.start, 0u);
    EXPECT_EQ(corrupt.length, 100u);
    EXPECT_FALSE(corrupt.seed);
    const auto set = std::get<CorruptFileArgs>(
        std::get<Dev>(*parse({"dev", "corrupt-file", "--preset", "zero", "--start=7", "--length", "9",
                              "--seed", "18446744073709551615", "--", "/"})
                           .command)
            .command);
    EXPECT_EQ(set.preset, Preset::Zero);
    EXPECT_EQ(set.start, 7u);
    EXPECT_EQ(set.length, 9u);
    EXPECT_EQ(set.seed, 18446744073709551615ull);
}

TEST(ParsedArgsTest, VersionWithAndWithoutCommand) {
    EXPECT_TRUE(parse({"--version"}).version);
    EXPECT_FALSE(parse({"--version"}).command);
    const Cli both = parse({"--version", "gen"});
    EXPECT_TRUE(both.version);
    EXPECT_TRUE(std::holds_alternative<GenArgs>(*both.command));
}

// An option left out is read as its default text would be: every field of the record is filled.
TEST(ParsedArgsTest, AbsentOptionsTakeTheirDefaultTexts) {
    const auto gen = std::get<GenArgs>(*parse({"gen"}).command);
    const auto spelled = std::get<GenArgs>(
        *parse({"gen", "--format", "v3", "--file-size", "4096", "--jobs", default_jobs_text()}).command);
    EXPECT_EQ(gen.format, spelled.format);
    EXPECT_EQ(gen.file_size, spelled.file_size);
    EXPECT_EQ(gen.jobs, spelled.jobs);

    const auto verify = std::get<VerifyArgs>(*parse({"verify"}).command);
    EXPECT_EQ(verify.chunk_size, 4096u);
    EXPECT_EQ(verify.jobs, spelled.jobs);

    const Cli cli = parse({"dev", "show", "/dev/null"});
    EXPECT_FALSE(cli.version);
    EXPECT_FALSE(std::get<ShowArgs>(std::get<Dev>(*cli.command).command).verify_checksum);
}

// `dev` must be followed by one of its own commands; the parse stops with a usage error.
TEST(ParsedArgsTest, DevWithoutOrWithAnUnknownCommand) {
    for (const auto& args : std::vector<std::vector<std::string>>{{"dev", "--"}, {"dev", "bogus"}}) {
        const auto cli = parse_command_line(args);
        ASSERT_FALSE(cli) << args[1];
        EXPECT_EQ(cli.error(), 2) << args[1];
    }
}

template <typename Field, typename Parse>
concept Bindable = requires(Field& field, Parse parse) {
    bind_value(field, parse);
};

// A value parser is bound to a field of its own value type (or an optional of it) or the
// grammar does not compile: the types of grammar and records cannot disagree at run time.
TEST(ParsedArgsTest, BindingAParserToAFieldOfAnotherTypeDoesNotCompile) {
    static_assert(Bindable<std::optional<int64_t>, decltype(&parse_integer)>);
    static_assert(Bindable<uint64_t, decltype(&parse_positive_integer)>);
    static_assert(!Bindable<uint64_t, decltype(&parse_integer)>);
    static_assert(!Bindable<std::optional<uint64_t>, decltype(&parse_integer)>);
    static_assert(!Bindable<std::string, decltype(&parse_existing_file)>);

    uint64_t jobs = 0;
    const Binding bind = bind_value(jobs, parse_positive_integer);
    EXPECT_TRUE(bind("+4"));
    EXPECT_EQ(jobs, 4u);
    EXPECT_EQ(bind("0").error(), "0 is not an integer of at least 1");
    EXPECT_EQ(jobs, 4u);
}

TEST(GrammarTest, DefaultTextsAreComputedOnceAndStable) {
    EXPECT_EQ(default_chunk_size_text(), "4096");
    EXPECT_EQ(default_jobs_text(), std::to_string(store::default_worker_count()));
    EXPECT_EQ(&default_jobs_text(), &default_jobs_text());
    EXPECT_EQ(default_preset_text(), "random");
    EXPECT_EQ(default_start_text(), "0");
    EXPECT_EQ(default_length_text(), "100");
    EXPECT_EQ(format_version_possible_value(format::FormatVersion::V2).name, "v2");
    EXPECT_EQ(preset_possible_value(Preset::Zero).help, "Overwrite the range with zero bytes");
}

}  // namespace
}  // namespace kro::cli
