#include "gen/sizes/sampling.hpp"

#include <fmt/format.h>

#include <array>
#include <cmath>
#include <limits>
#include <variant>

#include "base/os_random.hpp"
#include "gen/sizes/fdlibm.hpp"

namespace kro::gen {

namespace {

constexpr double MIN_BAND_MASS = 0.005;
constexpr double TWO_PI = 6.283185307179586;
constexpr double TWO_POW_64 = 18446744073709551616.0;

// A truncated draw as a size. A band Max near 2^64 - 1 converts to the double 2^64, which a
// draw can reach but no u64 holds; such a draw is the largest size.
uint64_t to_size(double truncated) {
    if (truncated >= TWO_POW_64) return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(truncated);
}

// The in-band mass of N(0, 1) over [lo, hi], counted on [-4, 4] in 64 cells, each cell at the
// smallest density over its covered part, so the estimate never exceeds the true mass.
double normal_mass_between(double lo, double hi) {
    double sum = 0;
    for (int k = 1; k <= 64; ++k) {
        const double cell_lower = (k - 1) * 0.125 - 4;
        const double cell_upper = k * 0.125 - 4;
        const double lower = cell_lower > lo ? cell_lower : lo;
        const double upper = cell_upper < hi ? cell_upper : hi;
        if (upper > lower) {
            const double d = std::fabs(lower) > std::fabs(upper) ? std::fabs(lower) : std::fabs(upper);
            sum += (upper - lower) * (fdlibm::exp(d * -0.5 * d) / std::sqrt(TWO_PI));
        }
    }
    return sum;
}

ChaChaKey unused_key() {
    return ChaChaKey{};
}

}  // namespace

std::string SampleError::message() const {
    return fmt::format("insufficient probability mass within {}..={} bytes for {}", band().min, band().max,
                       spec().display());
}

std::string SampleError::debug() const {
    return fmt::format("SampleError {{ inner: SampleErrorInner {{ spec: {}, band: {}, backtrace: {} }} }}",
                       spec().debug(), band().debug(), backtrace().debug());
}

bool band_ok(const SizeSpec& spec) {
    if (const auto* l = std::get_if<SizeSpec::LogNormal>(&spec.kind)) {
        if (l->sigma == 0) return l->band.min <= l->median && l->median <= l->band.max;
        const auto m = static_cast<double>(l->median);
        const double lo = fdlibm::log(static_cast<double>(l->band.min) / m) / l->sigma;
        const double hi = fdlibm::log((static_cast<double>(l->band.max) + 1) / m) / l->sigma;
        return normal_mass_between(lo, hi) >= MIN_BAND_MASS;
    }
    if (const auto* p = std::get_if<SizeSpec::Pareto>(&spec.kind)) {
        const double ratio = static_cast<double>(p->band.min) / (static_cast<double>(p->band.max) + 1);
        const double mass = -fdlibm::expm1(p->alpha * fdlibm::log(ratio));
        return mass >= MIN_BAND_MASS;
    }
    return true;
}

SizeSampler::SizeSampler(const SizeSpec& spec, const ChaChaKey& key) : stream_(key), spec_(spec) {
    if (const auto* f = std::get_if<SizeSpec::Fixed>(&spec.kind)) {
        kind_ = Kind::Fixed;
        low_ = f->value;
    } else if (const auto* r = std::get_if<SizeSpec::Range>(&spec.kind)) {
        kind_ = Kind::Range;
        low_ = r->start;
        high_ = r->end;
    } else if (const auto* l = std::get_if<SizeSpec::LogNormal>(&spec.kind)) {
        kind_ = Kind::LogNormal;
        low_ = l->band.min;
        high_ = l->band.max;
        scale_ = static_cast<double>(l->median);
        shape_ = l->sigma;
    } else {
        const auto& p = std::get<SizeSpec::Pareto>(spec.kind);
        kind_ = Kind::Pareto;
        low_ = p.band.min;
        high_ = p.band.max;
        scale_ = static_cast<double>(p.band.min);
        shape_ = -1 / p.alpha;
    }
    band_ok_ = gen::band_ok(spec);
}

SizeSampler SizeSampler::from_seed(const SizeSpec& spec, const MasterSeed& master) {
    return SizeSampler(spec, derive_size_stream_key(master));
}

std::expected<SizeSampler, base::IoError> SizeSampler::from_entropy(const SizeSpec& spec,
                                                                    const base::Hooks* hooks) {
    if (std::holds_alternative<SizeSpec::Fixed>(spec.kind)) return SizeSampler(spec, unused_key());
    ChaChaKey key;
    auto filled = base::fill_random(hooks, key);
    if (!filled) return std::unexpected(filled.error());
    return SizeSampler(spec, key);
}

std::expected<uint64_t, SampleError> sample_file_size(SizeSampler& sampler) {
    using Kind = SizeSampler::Kind;
    switch (sampler.kind_) {
        case Kind::Fixed:
            return sampler.low_;
        case Kind::Range:
            return sample_uniform_inclusive(sampler.stream_, sampler.low_, sampler.high_);
        case Kind::LogNormal:
        case Kind::Pareto:
            break;
    }
    if (!sampler.band_ok_)
        return std::unexpected(SampleError(sampler.spec_, Band{sampler.low_, sampler.high_}));
    const auto min = static_cast<double>(sampler.low_);
    const auto max = static_cast<double>(sampler.high_);
    if (sampler.kind_ == Kind::LogNormal) {
        if (sampler.shape_ == 0) return std::get<SizeSpec::LogNormal>(sampler.spec_.kind).median;
        for (;;) {
            const double z = sample_standard_normal(sampler.stream_);
            const double x = fdlibm::exp(z * sampler.shape_) * sampler.scale_;
            if (!std::isfinite(x)) continue;
            const double g = std::trunc(x);
            if (min <= g && g <= max) return to_size(g);
        }
    }
    for (;;) {
        const uint64_t r = sampler.stream_.next_u64();
        const double u = static_cast<double>((r >> 11) + 1) * 0x1p-53;
        const double x = fdlibm::pow(u, sampler.shape_) * sampler.scale_;
        if (!std::isfinite(x)) continue;
        const double g = std::trunc(x);
        if (min <= g && g <= max) return to_size(g);
    }
}

uint64_t sample_uniform_inclusive(ChaCha12Stream& stream, uint64_t low, uint64_t high) {
    if (low == high) return low;
    if (low == 0 && high == std::numeric_limits<uint64_t>::max()) return stream.next_u64();
    const uint64_t n = high - low + 1;
    // Draws below `zone` would make the low residues more likely than the others.
    const uint64_t zone = (std::numeric_limits<uint64_t>::max() - (high - low)) % n;
    for (;;) {
        const uint64_t r = stream.next_u64();
        if (r >= zone) return low + r % n;
    }
}

double sample_standard_normal(ChaCha12Stream& stream) {
    for (;;) {
        const double u = static_cast<double>(stream.next_u64() >> 11) * 0x1p-52 - 1;
        const double v = static_cast<double>(stream.next_u64() >> 11) * 0x1p-52 - 1;
        const double s = v * v + u * u;
        if (s == 0 || s >= 1) continue;
        return u * std::sqrt((fdlibm::log(s) * -2) / s);
    }
}

}  // namespace kro::gen
