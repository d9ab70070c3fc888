// Rendering a large verification report: 10,000 issue lines and the analyses of 1,000 damaged
// files, each with a handful of regions, written to /dev/null through the real stream writer.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cli/output/render.hpp"

namespace {

using kro::format::FormatVersion;
using kro::verify::CorruptionPattern;
using kro::verify::CorruptionReport;
using kro::verify::Issue;
using P = CorruptionPattern;

std::vector<Issue> large_report() {
    std::vector<Issue> issues;
    for (int i = 0; i < 1000; ++i) {
        std::vector<kro::verify::CorruptRegion> regions = {
            {P::ZeroFilled{}, 8192, 65536},        {P::Sparse{17}, 102400, 4096},
            {P::Random{0.731}, 409600, 12288},     {P::RepeatedByte{0x5a}, 700000, 4096},
            {P::Truncated{48576}, 1000000, 48576},
        };
        CorruptionReport report{
            .path = "/data/store/ab/cd/ef/0123456789abcdef0123456789abcdef" + std::to_string(i % 100),
            .regions = std::move(regions),
            .actual_len = 1000000,
            .expected_len = 1048576,
            .seed = {},
            .expected_id = {},
            .actual_id = {},
            .version = i % 2 == 0 ? FormatVersion::V3 : FormatVersion::V2,
        };
        issues.emplace_back(Issue::ContentCorrupted{std::move(report)});
    }
    for (int i = 0; i < 4500; ++i) {
        const std::string path = "/data/store/stray/file-" + std::to_string(i);
        issues.emplace_back(Issue::InvalidPathLayout{path});
        issues.emplace_back(Issue::FileNotReferenced{path});
    }
    return issues;
}

void BM_RenderLargeReport(benchmark::State& state) {
    const std::vector<Issue> issues = large_report();
    const bool color = state.range(0) != 0;
    const int null = ::open("/dev/null", O_WRONLY);
    for (auto _ : state) {
        kro::cli::StreamWriter err(null, "stderr");
        kro::cli::StreamWriter out(null, "stdout");
        kro::cli::print_issues(err, issues, color);
        kro::cli::print_error_analyses(out, issues, color);
    }
    ::close(null);
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(issues.size()));
}
BENCHMARK(BM_RenderLargeReport)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
