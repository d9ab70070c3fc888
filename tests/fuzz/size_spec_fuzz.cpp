// Any text given to --file-size or --max-disk-usage: parsing must end with a value or an error
// (no crash, no hang, bounded memory), an accepted spec must read back from its canonical form,
// and a few draws from it must lie inside its bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "gen/sizes/sampling.hpp"
#include "gen/sizes/size_spec.hpp"

namespace {

using kro::gen::SizeSpec;

void check_draws(const SizeSpec& spec) {
    static const kro::gen::MasterSeed master{};
    kro::gen::SizeSampler sampler = kro::gen::SizeSampler::from_seed(spec, master);
    uint64_t low = 0;
    uint64_t high = UINT64_MAX;
    if (const auto* r = std::get_if<SizeSpec::Range>(&spec.kind)) {
        low = r->start;
        high = r->end;
    } else if (const auto* l = std::get_if<SizeSpec::LogNormal>(&spec.kind)) {
        low = l->band.min;
        high = l->band.max;
    } else if (const auto* p = std::get_if<SizeSpec::Pareto>(&spec.kind)) {
        low = p->band.min;
        high = p->band.max;
    }
    // Band bounds above 2^53 are compared as doubles, so only smaller bands are exact.
    const bool exact = high <= (uint64_t{1} << 53) || std::holds_alternative<SizeSpec::Range>(spec.kind);
    for (int i = 0; i < 4; ++i) {
        const auto size = kro::gen::sample_file_size(sampler);
        if (!size) {
            if (sampler.band_ok()) std::abort();
            (void)size.error().message();
            return;
        }
        if (exact && (*size < low || *size > high)) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto spec = kro::gen::parse_size_spec(text);
    if (spec) {
        const auto again = kro::gen::parse_size_spec(spec->display());
        if (!again || !(*again == *spec)) std::abort();
        check_draws(*spec);
    } else {
        (void)spec.error().message();
        (void)spec.error().debug();
    }
    const auto bytes = kro::gen::parse_byte_size(text);
    if (bytes) {
        (void)kro::gen::ByteSize{*bytes}.display();
    } else {
        (void)bytes.error().message();
    }
    return 0;
}
