// The cost of the progress path that `gen` and `verify` pay when the display is attached: one
// observer call per piece of progress, drawing at most every 80 ms.
#include <benchmark/benchmark.h>

#include <chrono>

#include "cli/output/progress_display.hpp"

namespace {

using kro::cli::ProgressDisplay;
using kro::cli::ProgressMode;
using kro::cli::ProgressTerminal;

// The observer as generation calls it, on a display whose line goes nowhere.
void BM_ObserverCall(benchmark::State& state) {
    const ProgressDisplay display(
        "Generate", ProgressMode::Generate,
        ProgressTerminal{true, true, [](std::string_view) {}, std::chrono::steady_clock::now});
    const kro::store::ProgressObserver observer = display.observer();
    kro::store::ProgressSnapshot snapshot{uint64_t{1} << 30, 1000, 0, 0};
    for (auto _ : state) {
        snapshot.bytes_done += 4096;
        (*observer)(snapshot);
    }
    display.finish(true);
}
BENCHMARK(BM_ObserverCall);

// One redraw: the whole line built, with colour.
void BM_RenderLine(benchmark::State& state) {
    const kro::cli::ProgressFrame frame{"Generate",
                                        ProgressMode::Generate,
                                        {uint64_t{1} << 30, 1000, 123456789, 117},
                                        std::chrono::seconds(3),
                                        std::nullopt,
                                        true};
    for (auto _ : state) benchmark::DoNotOptimize(kro::cli::render_progress_line(frame));
}
BENCHMARK(BM_RenderLine);

}  // namespace

BENCHMARK_MAIN();
