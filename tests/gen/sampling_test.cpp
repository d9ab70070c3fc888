#include "gen/sizes/sampling.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <limits>
#include <string>
#include <vector>

namespace kro::gen {
namespace {

constexpr uint64_t KB = 1024;
constexpr uint64_t MB = 1024 * KB;
constexpr uint64_t U64_MAX = std::numeric_limits<uint64_t>::max();

SizeSpec spec_of(std::string_view text) {
    auto spec = parse_size_spec(text);
    if (!spec) ADD_FAILURE() << text << ": " << spec.error().message();
    return spec.value_or(SizeSpec{SizeSpec::Fixed{0}});
}

Band band_of(std::string_view text) {
    const SizeSpec spec = spec_of(text);
    if (const auto* l = std::get_if<SizeSpec::LogNormal>(&spec.kind)) return l->band;
    return std::get<SizeSpec::Pareto>(spec.kind).band;
}

MasterSeed seed_42() {
    return derive_master_seed("42").value();
}

SizeSampler seeded(std::string_view text) {
    return SizeSampler::from_seed(spec_of(text), seed_42());
}

ChaCha12Stream size_stream() {
    return ChaCha12Stream(derive_size_stream_key(seed_42()));
}

struct FailingSource : base::Hooks {
    std::expected<void, base::IoError> fill_random(std::span<uint8_t>) const override {
        return std::unexpected(base::IoError::from_errno(EIO));
    }
};

// Hands out 0, 1, 2, ...
struct CountingSource : base::Hooks {
    std::expected<void, base::IoError> fill_random(std::span<uint8_t> out) const override {
        for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(i);
        return {};
    }
};

const FailingSource failing_source{};
const CountingSource counting_source{};

TEST(SizeSampling, FixedNeverTouchesTheStreamOrTheRandomSource) {
    SizeSampler sampler = seeded("4096");
    for (int i = 0; i < 100; ++i) ASSERT_EQ(sample_file_size(sampler).value(), 4096U);
    EXPECT_EQ(sampler.stream().index(), ChaCha12Stream::BUFFER_WORDS);
    EXPECT_EQ(sampler.stream().block_counter(), 0U);

    auto unseeded = SizeSampler::from_entropy(spec_of("0"), &failing_source);
    ASSERT_TRUE(unseeded);
    EXPECT_EQ(sample_file_size(*unseeded).value(), 0U);
}

TEST(SizeSampling, EntropyFailureEndsConstruction) {
    const auto sampler = SizeSampler::from_entropy(spec_of("1-10"), &failing_source);
    ASSERT_FALSE(sampler);
    EXPECT_EQ(sampler.error().code(), EIO);

    auto keyed = SizeSampler::from_entropy(spec_of("0-18446744073709551615"), &counting_source);
    ASSERT_TRUE(keyed);
    ChaChaKey key;
    ASSERT_TRUE(counting_source.fill_random(key));
    ChaCha12Stream twin(key);
    EXPECT_EQ(sample_file_size(*keyed).value(), twin.next_u64());
}

TEST(SizeSampling, UniformInclusiveDrawsAsSpecified) {
    ChaCha12Stream stream = size_stream();
    EXPECT_EQ(sample_uniform_inclusive(stream, 7, 7), 7U);
    EXPECT_EQ(sample_uniform_inclusive(stream, U64_MAX, U64_MAX), U64_MAX);
    EXPECT_EQ(stream.index(), ChaCha12Stream::BUFFER_WORDS) << "a one-value range made a draw";

    // The full range and any power-of-two count take raw draws.
    ChaCha12Stream twin = size_stream();
    for (int i = 0; i < 40; ++i) ASSERT_EQ(sample_uniform_inclusive(stream, 0, U64_MAX), twin.next_u64());
    for (int i = 0; i < 40; ++i)
        ASSERT_EQ(sample_uniform_inclusive(stream, 16, 16 + 1023), 16 + twin.next_u64() % 1024);

    // n = 2^63 + 1 rejects every draw below 2^63 - 1, about half of them.
    const uint64_t low = 5;
    const uint64_t n = (uint64_t{1} << 63) + 1;
    const uint64_t zone = (uint64_t{1} << 63) - 1;
    int rejected = 0;
    for (int i = 0; i < 40; ++i) {
        uint64_t r = twin.next_u64();
        while (r < zone) {
            ++rejected;
            r = twin.next_u64();
        }
        ASSERT_EQ(sample_uniform_inclusive(stream, low, low + n - 1), low + r % n);
    }
    EXPECT_GT(rejected, 0);
}

TEST(SizeSampling, AcceptedSizesLieInsideTheBand) {
    struct Case {
        std::string spec;
        uint64_t min;
        uint64_t max;
    };
    const std::vector<Case> cases{
        {"100-200", 100, 200},
        {"1MB-1MB", MB, MB},
        {"Type=lognormal,Median=1MB,Sigma=1,Max=4MB", 60, 4 * MB},
        {"Type=lognormal,Median=1MB,Sigma=2,Min=512KB,Max=2MB", 512 * KB, 2 * MB},
        {"Type=lognormal,Median=60,Sigma=0.5,Min=60,Max=61", 60, 61},
        {"Type=pareto,Max=1MB,Alpha=1.5", 60, MB},
        {"Type=pareto,Min=1KB,Max=1100,Alpha=0.2", KB, 1100},
    };
    for (const auto& c : cases) {
        SizeSampler sampler = seeded(c.spec);
        ASSERT_TRUE(sampler.band_ok()) << c.spec;
        for (int i = 0; i < 2000; ++i) {
            const auto size = sample_file_size(sampler);
            ASSERT_TRUE(size) << c.spec << ": " << size.error().message();
            ASSERT_GE(*size, c.min) << c.spec;
            ASSERT_LE(*size, c.max) << c.spec;
        }
    }
}

TEST(SizeSampling, LognormalWithoutSpreadIsTheMedianOrNothing) {
    SizeSampler inside = seeded("Type=lognormal,Median=1MB,Sigma=0,Max=2MB");
    for (int i = 0; i < 10; ++i) ASSERT_EQ(sample_file_size(inside).value(), MB);
    EXPECT_EQ(inside.stream().index(), ChaCha12Stream::BUFFER_WORDS);

    SizeSampler outside = seeded("Type=lognormal,Median=1,Sigma=-0,Min=100,Max=200");
    EXPECT_FALSE(outside.band_ok());
    for (int i = 0; i < 3; ++i) {
        const auto size = sample_file_size(outside);
        ASSERT_FALSE(size);
        EXPECT_EQ(size.error().message(),
                  "insufficient probability mass within 100..=200 bytes for "
                  "Type=lognormal,Median=1,Sigma=-0,Min=100,Max=200");
    }
}

TEST(SizeSampling, BandWithTooLittleMassFailsAtEveryCall) {
    struct Case {
        std::string spec;
        std::string message;
    };
    const std::vector<Case> cases{
        {"Type=lognormal,Median=1MB,Sigma=0.1,Max=100",
         "insufficient probability mass within 60..=100 bytes for "
         "Type=lognormal,Median=1048576,Sigma=0.1,Min=60,Max=100"},
        {"Type=pareto,Min=60,Max=61,Alpha=0.001",
         "insufficient probability mass within 60..=61 bytes for Type=pareto,Min=60,Max=61,Alpha=0.001"},
    };
    for (const auto& c : cases) {
        SizeSampler sampler = seeded(c.spec);
        EXPECT_FALSE(sampler.band_ok()) << c.spec;
        for (int i = 0; i < 2; ++i) {
            const auto size = sample_file_size(sampler);
            ASSERT_FALSE(size) << c.spec;
            EXPECT_EQ(size.error().message(), c.message);
            EXPECT_EQ(size.error().band(), band_of(c.spec));
        }
        EXPECT_EQ(sampler.stream().index(), ChaCha12Stream::BUFFER_WORDS) << "a refused band made a draw";
    }
    SizeSampler refused = seeded(cases[1].spec);
    const SampleError error = sample_file_size(refused).error();
    EXPECT_EQ(
        error.debug().rfind("SampleError { inner: SampleErrorInner { spec: SizeSpec { kind: Pareto { alpha: "
                            "0.001, band: Band { min: 60, max: 61 } } }, band: Band { min: 60, max: 61 }, "
                            "backtrace: ",
                            0),
        0U)
        << error.debug();
}

TEST(SizeSampling, MassCheckAcceptsBandsAtTheThreshold) {
    // lognormal: [-4, 4] in 64 cells at the smallest density of each; Pareto: -expm1(alpha ln(min / (max +
    // 1))).
    EXPECT_TRUE(band_ok(spec_of("Type=lognormal,Median=1MB,Sigma=1,Max=1MB")));
    EXPECT_TRUE(band_ok(spec_of("Type=pareto,Min=60,Max=61,Alpha=0.16")));   // mass 0.0053
    EXPECT_FALSE(band_ok(spec_of("Type=pareto,Min=60,Max=61,Alpha=0.15")));  // mass 0.0049
    EXPECT_TRUE(band_ok(spec_of("0-1")));
    EXPECT_TRUE(band_ok(spec_of("0")));
}

// Bands of a lognormal spec whose estimated mass lies within a few millionths of the limit: each
// one is accepted only with the contribution of the estimate's last cell ([3.875, 4]) or its first
// ([-4, -3.875]), each cell worth less than 0.00002.
TEST(SizeSampling, MassCheckCountsTheOutermostCells) {
    struct Case {
        std::string spec;
        bool ok;
    };
    const std::vector<Case> cases{
        // [2.5109, 4]: 0.0050085, of which the last cell holds 0.0000167.
        {"Type=lognormal,Median=1000000,Sigma=1,Min=12316000,Max=100000000", true},
        // [2.5123, 4]: 0.0049909.
        {"Type=lognormal,Median=1000000,Sigma=1,Min=12333000,Max=100000000", false},
        // [-4, -2.5108]: 0.0050094, of which the first cell holds 0.0000167.
        {"Type=lognormal,Median=1000000,Sigma=1,Min=60,Max=81200", true},
        // [-4, -2.5133]: 0.0049780.
        {"Type=lognormal,Median=1000000,Sigma=1,Min=60,Max=81000", false},
    };
    for (const auto& c : cases) EXPECT_EQ(band_ok(spec_of(c.spec)), c.ok) << c.spec;
}

// A band Max near 2^64 - 1 becomes the double 2^64, which an accepted draw can equal; such a
// size saturates instead of overflowing the conversion.
TEST(SizeSampling, SizeOfTwoToThe64SaturatesAtTheLargestSize) {
    SizeSampler lognormal =
        seeded("Type=lognormal,Median=18446744073709551615,Sigma=1e-300,Max=18446744073709551615");
    ASSERT_TRUE(lognormal.band_ok());
    for (int i = 0; i < 20; ++i) ASSERT_EQ(sample_file_size(lognormal).value(), U64_MAX);

    const uint64_t min = U64_MAX - 2047;  // 2^64 - 2048, the largest double below 2^64
    SizeSampler pareto =
        seeded(fmt::format("Type=pareto,Min={},Max=18446744073709551615,Alpha=4503599627370496", min));
    ASSERT_TRUE(pareto.band_ok());
    int saturated = 0;
    for (int i = 0; i < 200; ++i) {
        const uint64_t size = sample_file_size(pareto).value();
        ASSERT_TRUE(size == min || size == U64_MAX) << size;
        saturated += size == U64_MAX ? 1 : 0;
    }
    EXPECT_GT(saturated, 0);
}

// Seeded sizes are part of a dataset's identity: the first sizes for the seed "42", as an
// independent implementation of the stream and the draws gives them.
TEST(SizeSampling, SeededSizesStayTheSame) {
    struct Case {
        std::string spec;
        std::vector<uint64_t> sizes;
    };
    const std::vector<Case> cases{
        {"1KB-1MB", {994273, 411268, 642721, 950121, 1004796, 676080}},
        {"Type=lognormal,Median=1MB,Sigma=1,Max=64MB", {5343241, 2108030, 390245, 2175658, 912323, 494123}},
        {"Type=pareto,Min=4KB,Max=1GB,Alpha=1.2", {5582, 8788, 5886, 5136, 9695, 5518}},
    };
    for (const auto& c : cases) {
        SizeSampler sampler = seeded(c.spec);
        std::vector<uint64_t> sizes;
        for (int i = 0; i < 6; ++i) sizes.push_back(sample_file_size(sampler).value());
        EXPECT_EQ(sizes, c.sizes) << c.spec << ": " << fmt::format("{}", fmt::join(sizes, ", "));
    }
}

}  // namespace
}  // namespace kro::gen
