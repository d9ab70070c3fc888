#include "gen/sizes/size_spec.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "base/errors/error.hpp"

namespace kro::gen {
namespace {

constexpr uint64_t KB = 1024;
constexpr uint64_t MB = 1024 * KB;
constexpr uint64_t TB = MB * MB;
constexpr uint64_t U64_MAX = std::numeric_limits<uint64_t>::max();

SizeSpec fixed(uint64_t value) {
    return SizeSpec{SizeSpec::Fixed{value}};
}
SizeSpec range(uint64_t start, uint64_t end) {
    return SizeSpec{SizeSpec::Range{start, end}};
}
SizeSpec pareto(double alpha, uint64_t min, uint64_t max) {
    return SizeSpec{SizeSpec::Pareto{alpha, {min, max}}};
}
SizeSpec lognormal(uint64_t median, double sigma, uint64_t min, uint64_t max) {
    return SizeSpec{SizeSpec::LogNormal{median, sigma, {min, max}}};
}

std::string failure(std::string_view text) {
    const auto spec = parse_size_spec(text);
    return spec ? "accepted as " + spec->display() : spec.error().message();
}

struct Accepted {
    std::string text;
    SizeSpec spec;
};

TEST(SizeSpecGrammar, AcceptsEveryForm) {
    const std::vector<Accepted> cases{
        {"4096", fixed(4096)},
        {"+4096", fixed(4096)},
        {"0", fixed(0)},
        {"18446744073709551615", fixed(U64_MAX)},
        {"4kb", fixed(4096)},
        {"4KB", fixed(4096)},
        {"4Kb", fixed(4096)},
        {"+4kB", fixed(4096)},
        {"1.5MB", fixed(1572864)},
        {"0.1KB", fixed(102)},
        {"1.KB", fixed(1024)},
        {".5KB", fixed(512)},
        {"2gb", fixed(2 * 1024 * MB)},
        {"16777215TB", fixed(16777215 * TB)},
        {"1MB-1MB", range(MB, MB)},
        {"1mb-5mb", range(MB, 5 * MB)},
        {"0-18446744073709551615", range(0, U64_MAX)},
        {"1.5KB-2KB", range(1536, 2048)},
        {"Type=pareto,Max=1MB,Alpha=1.5", pareto(1.5, 60, MB)},
        {"Type=pareto,Min=1KB,Max=1MB,Alpha=2", pareto(2, KB, MB)},
        {"Alpha=1e-3,Max=1MB,Type=pareto", pareto(0.001, 60, MB)},
        {"Type=pareto,Max=1MB,Alpha=4.9e-324", pareto(4.9e-324, 60, MB)},
        {"Type=pareto,Max=1MB,Max=2MB,Alpha=1", pareto(1, 60, 2 * MB)},
        {"Type=lognormal,Type=pareto,Max=1MB,Alpha=1", pareto(1, 60, MB)},
        {"Type=lognormal,Median=8.5MB,Sigma=0.5,Max=64MB", lognormal(8912896, 0.5, 60, 64 * MB)},
        {"Type=lognormal,Median=1,Sigma=0,Min=100,Max=200", lognormal(1, 0, 100, 200)},
        {"Type=lognormal,Median=1MB,Sigma=-0,Max=2MB", lognormal(MB, -0.0, 60, 2 * MB)},
        {"Type=lognormal,Median=1MB,Sigma=+.5e1,Max=2MB", lognormal(MB, 5, 60, 2 * MB)},
        // Below the smallest subnormal the number reads as zero.
        {"Type=lognormal,Median=1MB,Sigma=1e-400,Max=2MB", lognormal(MB, 0, 60, 2 * MB)},
    };
    for (const auto& c : cases) {
        const auto spec = parse_size_spec(c.text);
        ASSERT_TRUE(spec) << c.text << ": " << spec.error().message();
        EXPECT_EQ(*spec, c.spec) << c.text << " gave " << spec->debug();
        EXPECT_EQ(SizeSpec::from_str(c.text).value(), c.spec) << c.text;
    }
}

struct Rejected {
    std::string text;
    std::string message;
};

TEST(SizeSpecGrammar, RejectsWithTheExactMessage) {
    const std::string normal_removed =
        "Type normal was removed; use a range such as 19MB-21MB, or "
        "Type=lognormal,Median=<bytes>,Sigma=<number>,Max=<bytes> with Sigma set to StdDev divided by Mean";
    const std::vector<Rejected> cases{
        {"18446744073709551616", "invalid size specifier 18446744073709551616: not an unsigned integer"},
        {"2.5", "invalid size specifier 2.5: a decimal needs a size suffix such as 1.5MB"},
        {"1e6", "invalid size specifier 1e6: not an unsigned integer"},
        {"nan", "invalid size specifier nan: not an unsigned integer"},
        {"abc", "unknown size specifier abc"},
        {"", "unknown size specifier "},
        {"+", "unknown size specifier +"},
        {" 5", "unknown size specifier  5"},
        {"5 ", "unknown size specifier 5 "},
        {"++5", "unknown size specifier ++5"},
        {"10 MB", "invalid size specifier 10 MB: not an unsigned integer"},
        {"1e3KB", "invalid size specifier 1e3KB: not an unsigned integer"},
        {"KB", "invalid size specifier KB: not an unsigned integer"},
        {"1.5.5MB",
         "invalid size specifier 1.5.5MB: a decimal is digits around one point with no sign or "
         "exponent, such as 1.5MB"},
        {"+1.5MB",
         "invalid size specifier +1.5MB: a decimal is digits around one point with no sign or "
         "exponent, such as 1.5MB"},
        {".MB",
         "invalid size specifier .MB: a decimal is digits around one point with no sign or exponent, "
         "such as 1.5MB"},
        {"16777216TB", "size specifier 16777216TB overflows the 64-bit byte range"},
        {"16777216.0TB", "size specifier 16777216.0TB overflows the 64-bit byte range"},
        {"1-2-3", "bad size range 1-2-3: should be startsize-endsize (e.g. 1mb-5mb)"},
        {"-5", "invalid size specifier : not an unsigned integer"},
        {"-", "invalid size specifier : not an unsigned integer"},
        {"5-x", "invalid size specifier x: not an unsigned integer"},
        {"5MB-1MB", "empty size range: start 5242880 exceeds end 1048576"},
        {"Type=pareto", "unknown size specifier Type=pareto"},
        {"Type=pareto,Min=1MB,Max=1MB,Alpha=1",
         "size band 1048576..=1048576 holds one size; use --file-size 1MB instead"},
        {"Type=pareto,Min=1000,Max=1000,Alpha=1",
         "size band 1000..=1000 holds one size; use --file-size 1000 instead"},
        {"Type=pareto,Min=2MB,Max=1MB,Alpha=1", "size band 2097152..=1048576 is empty: Min exceeds Max"},
        {"Type=pareto,Min=50,Max=1MB,Alpha=1", "Min must be at least 60 bytes, the header size"},
        {"Type=pareto,Max=1MB,Alpha=0", "Alpha must be greater than zero"},
        {"Type=pareto,Max=1MB,Alpha=-1", "Alpha must be greater than zero"},
        {"Type=pareto,Max=1MB,Alpha=1e400", "invalid Alpha value 1e400: not a finite number"},
        {"Type=pareto,Max=1MB,Alpha=1.5.", "invalid Alpha value 1.5.: not a finite number"},
        {"Type=pareto,Max=1MB,Alpha=", "invalid Alpha value : not a finite number"},
        {"Type=pareto,Max=1MB,Alpha=1e", "invalid Alpha value 1e: not a finite number"},
        {"Type=pareto,Max=1MB", "missing parameter Alpha for Type=pareto"},
        {"Type=pareto,Alpha=1", "missing parameter Max for Type=pareto"},
        {"Type=pareto,Min=1.5,Max=1MB,Alpha=1",
         "invalid size specifier 1.5: a decimal needs a size suffix such as 1.5MB"},
        {"Type=pareto,Max=,Alpha=1", "invalid size specifier : not an unsigned integer"},
        {"Type=lognormal,Median=8.5MB,Sigma=0.5,Max=64MB,Mean=16",
         "unknown parameter Mean for Type=lognormal; lognormal takes "
         "Median=<bytes>,Sigma=<number>,Max=<bytes> "
         "(Median=8.5MB matches the old Mean=16)"},
        {"Type=lognormal,Median=1MB,Sigma=-1,Max=2MB", "Sigma must be at least zero"},
        {"Type=lognormal,Median=0,Sigma=-1,Max=2MB", "Median must be at least 1"},
        {"Type=lognormal,Median=1MB,Sigma=1KB,Max=2MB", "Sigma is a plain number, not a byte size"},
        {"Type=lognormal,Median=1MB,Sigma=inf,Max=2MB", "invalid Sigma value inf: not a finite number"},
        {"Type=lognormal,Median=1MB,Sigma=-Infinity,Max=2MB",
         "invalid Sigma value -Infinity: not a finite number"},
        {"Type=lognormal,Median=1MB,Sigma=NaN,Max=2MB", "invalid Sigma value NaN: not a finite number"},
        {"Type=lognormal,Median=1MB,Sigma=1", "missing parameter Max for Type=lognormal"},
        {"Type=lognormal,Sigma=x,Max=2MB", "missing parameter Median for Type=lognormal"},
        {"Type=lognormal,Median=1MB,Sigma=x,Max=y", "invalid Sigma value x: not a finite number"},
        {"Type=lognormal,Median=1MB,Sigma=1,Max=2MB,Min=10",
         "Min must be at least 60 bytes, the header size"},
        {"Type=normal,Max=1MB", normal_removed},
        {"Type=gamma,Max=1MB",
         "Type gamma was removed; use Type=pareto,Min=<bytes>,Max=<bytes>,Alpha=<shape> for a heavy tail"},
        {"Type=Pareto,Max=1MB", "unknown Type Pareto, must be one of: lognormal,pareto"},
        {"Type=,Max=1MB", "unknown Type , must be one of: lognormal,pareto"},
        {"type=pareto,Max=1MB", "missing Type=<type> in file size specifier"},
        {"Max=1MB,Alpha=1", "missing Type=<type> in file size specifier"},
        {"Type=pareto,Max=1MB,Alpha=1,", "malformed size parameter : expected Key=Value"},
        {"Type=pareto,Max=1MB=2,Alpha=1", "malformed size parameter Max=1MB=2: expected Key=Value"},
        {"Foo,Type=pareto", "malformed size parameter Foo: expected Key=Value"},
        {"1MB-2MB,5", "malformed size parameter 1MB-2MB: expected Key=Value"},
        {"Type=pareto,Max=1MB,Alpha=1,Foo=2",
         "unknown parameter Foo for Type=pareto; pareto takes Min, Max, Alpha"},
        {"Type=pareto,Mean=1", "unknown parameter Mean for Type=pareto; pareto takes Min, Max, Alpha"},
        {"Type=pareto,max=1MB,Alpha=1",
         "unknown parameter max for Type=pareto; pareto takes Min, Max, Alpha"},
        {"Type=lognormal,Median=1MB,Sigma=1,Max=2MB,Alpha=1",
         "unknown parameter Alpha for Type=lognormal; lognormal takes Median, Sigma, Min, Max"},
        {"Type=bogus,Foo=1", "unknown Type bogus, must be one of: lognormal,pareto"},
        {"Type=pareto,Max=x,Alpha=1,Foo=1",
         "unknown parameter Foo for Type=pareto; pareto takes Min, Max, Alpha"},
        {"Type=pareto,Min=x,Max=y,Alpha=z", "invalid size specifier x: not an unsigned integer"},
    };
    for (const auto& c : cases) EXPECT_EQ(failure(c.text), c.message) << c.text;
}

TEST(SizeSpecGrammar, ReportsTheKindAndCauseOfEachFailure) {
    const auto too_large = parse_size_spec("18446744073709551616");
    ASSERT_FALSE(too_large);
    const auto* integer = std::get_if<ParseSizeError::InvalidInteger>(&too_large.error().kind());
    ASSERT_NE(integer, nullptr);
    EXPECT_EQ(integer->source.kind(), IntegerParseError::Kind::TooLarge);
    EXPECT_EQ(too_large.error().source(), &integer->source);

    const auto empty = parse_size_spec("-5");
    ASSERT_FALSE(empty);
    EXPECT_EQ(base::error_chain(empty.error()),
              "invalid size specifier : not an unsigned integer: cannot parse integer from empty string");
    EXPECT_EQ(base::error_chain(parse_byte_size("x").error()),
              "invalid size specifier x: not an unsigned integer: invalid digit found in string");

    const auto band = parse_size_spec("Type=pareto,Min=50,Max=1MB,Alpha=1");
    ASSERT_FALSE(band);
    const auto* spec = std::get_if<ParseSizeError::InvalidSpec>(&band.error().kind());
    ASSERT_NE(spec, nullptr);
    EXPECT_TRUE(std::holds_alternative<SizeSpecError::BandTooLow>(spec->source.kind()));
    EXPECT_EQ(band.error().source(), &spec->source);

    EXPECT_EQ(parse_size_spec("abc").error().source(), nullptr);
    EXPECT_TRUE(std::holds_alternative<ParseSizeError::UnknownSpec>(parse_size_spec("").error().kind()));
}

TEST(SizeSpecGrammar, ParsesByteSizes) {
    struct Case {
        std::string text;
        uint64_t bytes;
    };
    const std::vector<Case> accepted{
        {"0", 0},        {"+7", 7}, {"1TB", TB}, {"1.5mb", 1572864}, {"18446744073709551615", U64_MAX},
        {"0.0001KB", 0},
    };
    for (const auto& c : accepted) EXPECT_EQ(parse_byte_size(c.text).value(), c.bytes) << c.text;
    const std::vector<Rejected> rejected{
        {"", "invalid size specifier : not an unsigned integer"},
        {"1.5", "invalid size specifier 1.5: a decimal needs a size suffix such as 1.5MB"},
        {"-1", "invalid size specifier -1: not an unsigned integer"},
        {"1MB-2MB", "invalid size specifier 1MB-2MB: not an unsigned integer"},
        {"16777216TB", "size specifier 16777216TB overflows the 64-bit byte range"},
        {"17179869184GB", "size specifier 17179869184GB overflows the 64-bit byte range"},
    };
    for (const auto& c : rejected) EXPECT_EQ(parse_byte_size(c.text).error().message(), c.message) << c.text;
}

TEST(SizeSpecGrammar, SplitsOnlyTheFourSuffixes) {
    EXPECT_FALSE(split_size_suffix("B"));
    EXPECT_FALSE(split_size_suffix("5B"));
    EXPECT_FALSE(split_size_suffix("5PB"));
    EXPECT_FALSE(split_size_suffix("5KiB"));
    const auto suffix = split_size_suffix("10 tB");
    ASSERT_TRUE(suffix);
    EXPECT_EQ(suffix->number, "10 ");
    EXPECT_EQ(suffix->multiplier, TB);
}

TEST(SizeSpecDisplay, ByteSizeUsesTheLargestExactUnit) {
    struct Case {
        uint64_t bytes;
        std::string text;
    };
    const std::vector<Case> cases{
        {0, "0"},        {1048576, "1MB"},       {1572864, "1536KB"},
        {1536, "1536"},  {2048, "2KB"},          {1000, "1000"},
        {5 * TB, "5TB"}, {3 * 1024 * MB, "3GB"}, {U64_MAX, "18446744073709551615"},
    };
    for (const auto& c : cases) EXPECT_EQ(ByteSize{c.bytes}.display(), c.text) << c.bytes;
}

TEST(SizeSpecDisplay, CanonicalFormIsPlainAndParsesBack) {
    struct Case {
        SizeSpec spec;
        std::string text;
    };
    const std::vector<Case> cases{
        {fixed(4096), "4096"},
        {range(MB, 2 * MB), "1048576-2097152"},
        {pareto(1.5, 60, MB), "Type=pareto,Min=60,Max=1048576,Alpha=1.5"},
        {pareto(1e21, 60, MB), "Type=pareto,Min=60,Max=1048576,Alpha=1000000000000000000000"},
        {pareto(0.1, 60, MB), "Type=pareto,Min=60,Max=1048576,Alpha=0.1"},
        {pareto(1e23, 60, MB), "Type=pareto,Min=60,Max=1048576,Alpha=100000000000000000000000"},
        {pareto(1.25e-5, 60, MB), "Type=pareto,Min=60,Max=1048576,Alpha=0.0000125"},
        {pareto(123.456, 60, MB), "Type=pareto,Min=60,Max=1048576,Alpha=123.456"},
        {lognormal(MB, 1, 60, 100), "Type=lognormal,Median=1048576,Sigma=1,Min=60,Max=100"},
        {lognormal(MB, -0.0, 60, 100), "Type=lognormal,Median=1048576,Sigma=-0,Min=60,Max=100"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.spec.display(), c.text);
        EXPECT_EQ(fmt::format("{}", c.spec), c.text);
        EXPECT_EQ(parse_size_spec(c.text).value(), c.spec) << c.text;
    }
    EXPECT_EQ(parse_size_spec("1MB-2MB")->display(), "1048576-2097152");
    // Extreme doubles still read back exactly from their positional form.
    for (const double alpha : {4.9406564584124654e-324, 2.2250738585072014e-308, 1e300, 0.30000000000000004,
                               std::numeric_limits<double>::max()}) {
        const SizeSpec spec = pareto(alpha, 60, MB);
        const std::string text = spec.display();
        EXPECT_EQ(text.substr(text.find("Alpha=")).find_first_of("eE"), std::string::npos) << text;
        const auto back = parse_size_spec(text);
        ASSERT_TRUE(back) << text << ": " << back.error().message();
        EXPECT_EQ(*back, spec) << text;
    }
}

TEST(SizeSpecDisplay, DebugFormsNameTypesAndFields) {
    EXPECT_EQ(fixed(4096).debug(), "SizeSpec { kind: Fixed(4096) }");
    EXPECT_EQ(range(1, 2).debug(), "SizeSpec { kind: Range { start: 1, end: 2 } }");
    EXPECT_EQ(
        lognormal(MB, 1, 60, 100).debug(),
        "SizeSpec { kind: LogNormal { median: 1048576, sigma: 1.0, band: Band { min: 60, max: 100 } } }");
    EXPECT_EQ(pareto(1e20, 60, 100).debug(),
              "SizeSpec { kind: Pareto { alpha: 1e20, band: Band { min: 60, max: 100 } } }");
    const std::string parse = parse_size_spec("16777216TB").error().debug();
    EXPECT_EQ(
        parse.rfind("ParseSizeError { inner: ParseSizeErrorInner { kind: Overflow { input: \"16777216TB\" }, "
                    "backtrace: ",
                    0),
        0U)
        << parse;
    const std::string unknown = parse_size_spec("Type=pareto,Foo=1").error().debug();
    EXPECT_NE(
        unknown.find("UnknownParameter { type_name: \"pareto\", name: \"Foo\", accepted: [\"Min\", \"Max\", "
                     "\"Alpha\"] }"),
        std::string::npos)
        << unknown;
    const std::string spec = SizeSpecError(SizeSpecError::EmptyBand{5, 5}).debug();
    EXPECT_EQ(spec.rfind("SizeSpecError { kind: EmptyBand { min: 5, max: 5 }, backtrace: ", 0), 0U) << spec;
}

TEST(SizeSpecConstructors, CheckInOrder) {
    const auto message = [](const std::expected<SizeSpec, SizeSpecError>& spec) {
        return spec ? "accepted as " + spec->display() : spec.error().message();
    };
    EXPECT_EQ(message(SizeSpec::Range::make(1, 10, true)), "accepted as 1-9");
    EXPECT_EQ(message(SizeSpec::Range::make(5, 5, true)), "empty size range: start 5 exceeds end 4");
    EXPECT_EQ(message(SizeSpec::Range::make(0, 0, true)),
              "empty size range: excluded end 0 admits no smaller size");
    EXPECT_EQ(message(SizeSpec::Range::make(0, U64_MAX, false)), "accepted as 0-18446744073709551615");
    EXPECT_EQ(SizeSpecError(SizeSpecError::EmptyExclusiveStart{}).message(),
              "empty size range: excluded start u64::MAX admits no larger size");

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(message(SizeSpec::LogNormal::make(0, {10, 5}, nan)), "Median must be at least 1");
    EXPECT_EQ(message(SizeSpec::LogNormal::make(1, {10, 5}, nan)), "Sigma must be at least zero");
    EXPECT_EQ(message(SizeSpec::LogNormal::make(1, {60, 100}, inf)), "Sigma must be at least zero");
    EXPECT_EQ(message(SizeSpec::LogNormal::make(1, {10, 5}, 1)),
              "Min must be at least 60 bytes, the header size");
    EXPECT_EQ(message(SizeSpec::LogNormal::make(1, {100, 99}, 1)),
              "size band 100..=99 is empty: Min exceeds Max");
    EXPECT_EQ(message(SizeSpec::Pareto::make({10, 5}, inf)), "Alpha must be greater than zero");
    EXPECT_EQ(message(SizeSpec::Pareto::make({10, 5}, -0.0)), "Alpha must be greater than zero");
    EXPECT_EQ(message(SizeSpec::Pareto::make({60, 61}, std::numeric_limits<double>::denorm_min())),
              "accepted as " + pareto(std::numeric_limits<double>::denorm_min(), 60, 61).display());
}

}  // namespace
}  // namespace kro::gen
