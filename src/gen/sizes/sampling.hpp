#pragma once
// Drawing file sizes from a SizeSpec. A seeded sampler's n-th size depends only on the seed
// text and the spec: the draws consume the ChaCha12 stream in a fixed order and use only
// kro's own fdlibm functions and the correctly rounded sqrt. A lognormal or Pareto band that
// holds less than 0.005 of the distribution's mass is refused at every draw rather than
// searched for ever. A sampler is a plain value used by one thread.

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <utility>

#include "base/errors/boxed_error.hpp"
#include "base/errors/io_error.hpp"
#include "base/hooks.hpp"
#include "gen/sizes/chacha.hpp"
#include "gen/sizes/seed.hpp"
#include "gen/sizes/size_spec.hpp"

namespace kro::gen {

// What SampleError holds: the spec, and its band that holds too little mass.
struct InsufficientMass {
    SizeSpec spec;
    Band band;
};

// The band of a lognormal or Pareto spec holds too little probability mass to draw from.
class SampleError final : public base::BoxedError<InsufficientMass> {
  public:
    SampleError(SizeSpec spec, Band band) : BoxedError(InsufficientMass{std::move(spec), band}) {}

    const SizeSpec& spec() const { return kind().spec; }
    const Band& band() const { return kind().band; }
    std::string message() const override;
    std::string debug() const override;
};

class SizeSampler {
  public:
    // Keyed by the size-stream key of the master seed; cannot fail.
    static SizeSampler from_seed(const SizeSpec& spec, const MasterSeed& master);
    // Keyed by 32 bytes of the operating system's random source, or of `hooks` when given; a
    // Fixed spec reads nothing.
    static std::expected<SizeSampler, base::IoError> from_entropy(const SizeSpec& spec,
                                                                  const base::Hooks* hooks = nullptr);

    const SizeSpec& spec() const { return spec_; }
    // Whether the band holds enough mass to draw from; computed once, at construction.
    bool band_ok() const { return band_ok_; }
    const ChaCha12Stream& stream() const { return stream_; }

  private:
    enum class Kind : uint8_t { LogNormal = 0, Pareto = 1, Fixed = 2, Range = 3 };

    SizeSampler(const SizeSpec& spec, const ChaChaKey& key);
    friend std::expected<uint64_t, SampleError> sample_file_size(SizeSampler& sampler);

    ChaCha12Stream stream_;
    Kind kind_ = Kind::Fixed;
    // Fixed: the size in `low`; Range: start and end; LogNormal and Pareto: the band.
    uint64_t low_ = 0;
    uint64_t high_ = 0;
    SizeSpec spec_;
    // LogNormal: the median and sigma; Pareto: min and -1/alpha.
    double scale_ = 0;
    double shape_ = 0;
    bool band_ok_ = true;
};

// At least 0.005 of the spec's probability mass lies inside its band (always for Fixed, Range).
bool band_ok(const SizeSpec& spec);

// The next size. Fixed and sigma-zero lognormal specs make no draw; a refused band fails at
// every call without a draw. Sizes below the header length are the caller's to raise.
std::expected<uint64_t, SampleError> sample_file_size(SizeSampler& sampler);

// Uniform over low..=high by rejection, so every value is equally likely.
uint64_t sample_uniform_inclusive(ChaCha12Stream& stream, uint64_t low, uint64_t high);

// A standard normal value by Marsaglia's polar method (the pair's second value is dropped).
double sample_standard_normal(ChaCha12Stream& stream);

}  // namespace kro::gen
