// The size stream and the per-file size draw. A draw runs once per generated file and must cost
// well under a microsecond; the stream's refill is reported as output bytes per second.
#include <benchmark/benchmark.h>

#include <array>
#include <string_view>

#include "gen/sizes/chacha.hpp"
#include "gen/sizes/sampling.hpp"
#include "gen/sizes/seed.hpp"
#include "gen/sizes/size_spec.hpp"

namespace {

using namespace kro;

gen::ChaChaKey bench_key() {
    return gen::derive_size_stream_key(gen::derive_master_seed("bench").value());
}

void ChaCha12Refill(benchmark::State& state) {
    gen::ChaCha12Stream stream(bench_key());
    std::array<uint8_t, 4 * 64> out;  // one refill: four blocks
    for (auto _ : state) {
        stream.fill_bytes(out);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(out.size()));
}
BENCHMARK(ChaCha12Refill);

void ChaCha12NextU64(benchmark::State& state) {
    gen::ChaCha12Stream stream(bench_key());
    for (auto _ : state) benchmark::DoNotOptimize(stream.next_u64());
}
BENCHMARK(ChaCha12NextU64);

void SampleFileSize(benchmark::State& state, std::string_view text) {
    gen::SizeSampler sampler = gen::SizeSampler::from_seed(gen::parse_size_spec(text).value(),
                                                           gen::derive_master_seed("bench").value());
    for (auto _ : state) benchmark::DoNotOptimize(gen::sample_file_size(sampler).value());
}
BENCHMARK_CAPTURE(SampleFileSize, Range, "1KB-64MB");
BENCHMARK_CAPTURE(SampleFileSize, LogNormal, "Type=lognormal,Median=1MB,Sigma=1,Max=64MB");
BENCHMARK_CAPTURE(SampleFileSize, Pareto, "Type=pareto,Min=4KB,Max=1GB,Alpha=1.2");

}  // namespace

BENCHMARK_MAIN();
