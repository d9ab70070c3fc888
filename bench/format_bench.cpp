// Throughput of the content file format's hot paths, each next to the bare library call it
// wraps: the wrappers must cost next to nothing. Prints the ratios after the runs.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "format/content.hpp"
#include "format/digest.hpp"
#include "format/file_id.hpp"
#include "rate_reporter.hpp"

namespace {

using namespace kro::format;
using kro::bench::RateReporter;

constexpr std::size_t MIB = 1 << 20;
constexpr uint64_t V2_FILE_LEN = 64 * MIB;

ContentSeed bench_seed() {
    ContentSeed seed;
    seed.bytes.fill(0x5A);
    return seed;
}

std::vector<uint8_t> content_bytes(std::size_t n) {
    std::vector<uint8_t> out(n);
    ContentReader::at_offset(bench_seed(), 0, FormatVersion::V3).fill(out);
    return out;
}

void BM_BareShake128Squeeze(benchmark::State& state) {
    std::vector<uint8_t> out(MIB);
    Shake128 sponge;
    const std::vector<uint8_t> message(48, 0x11);
    for (auto _ : state) {
        sponge.restart(message);
        sponge.squeeze(out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * MIB));
}

void BM_FillContentBlock(benchmark::State& state) {
    std::vector<uint8_t> out(MIB);
    uint64_t block = 1;
    for (auto _ : state) {
        fill_content_block(FormatVersion::V3, bench_seed(), block++, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * MIB));
}

void BM_FillContentBlockOwnSponge(benchmark::State& state) {
    std::vector<uint8_t> out(MIB);
    Shake128 sponge;
    uint64_t block = 1;
    for (auto _ : state) {
        fill_content_block(sponge, FormatVersion::V3, bench_seed(), block++, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * MIB));
}

// Reads 1 MiB per iteration, in pieces of state.range(0) bytes.
void BM_ContentReaderFill(benchmark::State& state) {
    const auto piece = static_cast<std::size_t>(state.range(0));
    std::vector<uint8_t> out(piece);
    ContentReader reader = ContentReader::at_offset(bench_seed(), 0, FormatVersion::V3);
    for (auto _ : state) {
        for (std::size_t done = 0; done < MIB; done += piece) {
            reader.fill(out);
            benchmark::DoNotOptimize(out.data());
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * MIB));
}

void BM_BareBlake3(benchmark::State& state) {
    const std::vector<uint8_t> block = content_bytes(MIB);
    for (auto _ : state) {
        Blake3 h;
        h.update(block);
        benchmark::DoNotOptimize(h.finalize());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * MIB));
}

void BM_LeafHash(benchmark::State& state) {
    const std::vector<uint8_t> block = content_bytes(MIB);
    for (auto _ : state) benchmark::DoNotOptimize(leaf_hash(5, block));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * MIB));
}

void BM_V2FileId64MiB(benchmark::State& state) {
    const std::vector<uint8_t> piece = content_bytes(MIB);
    for (auto _ : state) {
        V2FileIdHasher hasher;
        for (uint64_t done = 0; done < V2_FILE_LEN; done += MIB) hasher.update(piece);
        benchmark::DoNotOptimize(hasher.finalize());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * V2_FILE_LEN));
}

BENCHMARK(BM_BareShake128Squeeze);
BENCHMARK(BM_FillContentBlock);
BENCHMARK(BM_FillContentBlockOwnSponge);
BENCHMARK(BM_ContentReaderFill)->Arg(4096)->Arg(MIB);
BENCHMARK(BM_BareBlake3);
BENCHMARK(BM_LeafHash);
BENCHMARK(BM_V2FileId64MiB)->Unit(benchmark::kMillisecond);

void print_ratio(const RateReporter& r, const char* what, const std::string& ours, const std::string& base,
                 double target) {
    const double a = r.get(ours, "bytes_per_second");
    const double b = r.get(base, "bytes_per_second");
    if (a == 0 || b == 0) return;
    const double ratio = a / b;
    std::printf("%-44s %8.0f MB/s vs %8.0f MB/s  ratio %.3f (target >= %.2f) %s\n", what, a / 1e6, b / 1e6,
                ratio, target, ratio >= target ? "ok" : "BELOW TARGET");
}

}  // namespace

int main(int argc, char** argv) {
    initialize_crypto();
    // Ratios of neighbouring runs drift with the machine's load and clock; repeated, randomly
    // interleaved runs and their medians make them comparable. Flags given later override these.
    std::vector<char*> args(argv, argv + argc);
    std::string repetitions = "--benchmark_repetitions=9";
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    std::string aggregates = "--benchmark_display_aggregates_only=true";
    args.insert(args.begin() + 1, {repetitions.data(), interleave.data(), aggregates.data()});
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
    RateReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf("\n");
    print_ratio(reporter, "fill_content_block vs bare SHAKE128", "BM_FillContentBlock",
                "BM_BareShake128Squeeze", 0.95);
    print_ratio(reporter, "fill_content_block (own sponge) vs bare", "BM_FillContentBlockOwnSponge",
                "BM_BareShake128Squeeze", 0.95);
    print_ratio(reporter, "ContentReader::fill 4096 vs whole blocks", "BM_ContentReaderFill/4096",
                "BM_ContentReaderFill/1048576", 0.90);
    print_ratio(reporter, "leaf_hash vs bare BLAKE3", "BM_LeafHash", "BM_BareBlake3", 0.95);
    if (const double v2 = reporter.get("BM_V2FileId64MiB", "bytes_per_second"); v2 > 0)
        std::printf("v2 BLAKE2b-160 over 64 MiB in 1 MiB pieces: %.0f MB/s\n", v2 / 1e6);
    return 0;
}
