// Whole-run throughput of `generate`, each next to a bare loop that does only the unavoidable
// work: filling and hashing the blocks on as many threads (large v3 files; a second loop also
// writes them, to show where one file's page cache becomes the limit), the same
// open/write/rename into the same shard directories (many small files), and one BLAKE2b-160
// pass (large v2 files, whose in-order hash is the bound). The bare loops write from
// page-aligned buffers, as generation does. Repetitions run interleaved, in random order; the
// ratios of the medians are printed after the runs. The store goes to $KRO_BENCH_DIR, else
// /dev/shm (a tmpfs), else /tmp.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "base/fs/file_io.hpp"
#include "base/page_buffer.hpp"
#include "base/parallel/thread_scope.hpp"
#include "format/content.hpp"
#include "format/digest.hpp"
#include "format/file_id.hpp"
#include "gen/generate.hpp"
#include "rate_reporter.hpp"

namespace {

namespace fs = std::filesystem;
using namespace kro;
using format::FILE_BLOCK_SIZE;
using format::FormatVersion;
using kro::bench::RateReporter;

constexpr uint64_t LARGE_FILE = 64 * FILE_BLOCK_SIZE;
constexpr uint64_t LARGE_FILES = 8;
constexpr uint64_t SMALL_FILE = 4096;
constexpr uint64_t SMALL_FILES = 20000;

fs::path bench_parent() {
    if (const char* dir = std::getenv("KRO_BENCH_DIR"); dir != nullptr && *dir != '\0') return dir;
    if (fs::is_directory("/dev/shm")) return "/dev/shm";
    return fs::temp_directory_path();
}

// A fresh, empty directory for one run; removed again with everything in it.
class RunDir {
  public:
    RunDir() {
        std::string pattern = (bench_parent() / "kro-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~RunDir() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

// CPU time of every thread of the process, so that the work done can be compared even when the
// machine is too busy to give a run all the cores it asks for.
double process_cpu_seconds() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void set_cpu_counter(benchmark::State& state, double cpu_seconds) {
    state.counters["cpu_seconds"] = benchmark::Counter(cpu_seconds, benchmark::Counter::kAvgIterations);
}

gen::GenerateOptions options_for(const fs::path& root, uint64_t size, uint64_t files, FormatVersion version,
                                 size_t jobs) {
    return {
        .root = root,
        .max_files = files,
        .sampler = gen::SizeSampler::from_seed(gen::SizeSpec{gen::SizeSpec::Fixed{size}}, {}),
        .jobs = jobs,
        .version = version,
    };
}

// Runs `work` once per iteration in a fresh directory; only `work` is timed, and its process CPU
// time is kept as the cpu_seconds counter.
template <typename Work>
void run_in_fresh_dirs(benchmark::State& state, Work work) {
    double cpu = 0;
    for (auto _ : state) {
        state.PauseTiming();
        {
            RunDir dir;
            const double start = process_cpu_seconds();
            state.ResumeTiming();
            work(dir.path());
            state.PauseTiming();
            cpu += process_cpu_seconds() - start;
        }
        state.ResumeTiming();
    }
    set_cpu_counter(state, cpu);
}

void run_generate(benchmark::State& state, uint64_t size, uint64_t files, FormatVersion version) {
    const auto jobs = static_cast<size_t>(state.range(0));
    run_in_fresh_dirs(state, [&](const fs::path& dir) {
        const auto summary = gen::generate(options_for(dir, size, files, version, jobs));
        if (!summary) state.SkipWithError(base::error_chain(summary.error()).c_str());
    });
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size * files));
    state.counters["files_per_second"] =
        benchmark::Counter(static_cast<double>(state.iterations() * files), benchmark::Counter::kIsRate);
}

void BM_GenerateLargeV3(benchmark::State& state) {
    run_generate(state, LARGE_FILE, LARGE_FILES, FormatVersion::V3);
}
void BM_GenerateLargeV2(benchmark::State& state) {
    run_generate(state, LARGE_FILE, LARGE_FILES, FormatVersion::V2);
}
void BM_GenerateSmallFiles(benchmark::State& state) {
    run_generate(state, SMALL_FILE, SMALL_FILES, FormatVersion::V3);
}

// The blocks of the large v3 run, filled and leaf-hashed on `threads` threads; with `files`,
// each block is also written there by the thread that made it, one write at a time (the kernel
// takes one file's writes one at a time anyway).
void fill_and_hash(benchmark::State& state, const std::vector<int>* files) {
    const auto threads = static_cast<size_t>(state.range(0));
    const uint64_t per_file = LARGE_FILE / FILE_BLOCK_SIZE;
    const uint64_t blocks = LARGE_FILES * per_file;
    format::ContentSeed seed;
    seed.bytes.fill(0x33);
    std::atomic<uint64_t> next{0};
    std::mutex write_mutex;
    base::ThreadScope scope;
    for (size_t t = 0; t < threads; ++t) {
        scope.spawn([&] {
            base::PageBuffer buffer(FILE_BLOCK_SIZE);
            format::Shake128 sponge;
            for (uint64_t i; (i = next.fetch_add(1)) < blocks;) {
                format::fill_content_block(sponge, FormatVersion::V3, seed, i % per_file + 1, buffer);
                benchmark::DoNotOptimize(format::leaf_hash(i, buffer));
                if (files == nullptr) continue;
                const std::lock_guard lock(write_mutex);
                if (!base::write_all_at((*files)[i / per_file], buffer, (i % per_file) * FILE_BLOCK_SIZE,
                                        nullptr))
                    state.SkipWithError("bare write failed");
            }
        });
    }
    scope.join_and_rethrow();
}

void BM_BareFillAndHash(benchmark::State& state) {
    const double start = process_cpu_seconds();
    for (auto _ : state) fill_and_hash(state, nullptr);
    set_cpu_counter(state, process_cpu_seconds() - start);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * LARGE_FILES * LARGE_FILE));
}

void BM_BareFillHashWrite(benchmark::State& state) {
    run_in_fresh_dirs(state, [&](const fs::path& dir) {
        std::vector<int> files;
        for (uint64_t f = 0; f < LARGE_FILES; ++f) {
            const fs::path path = dir / fmt::format("{:02}", f);
            files.push_back(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
            if (files.back() < 0 || ::ftruncate(files.back(), static_cast<off_t>(LARGE_FILE)) != 0)
                state.SkipWithError("bare create failed");
        }
        fill_and_hash(state, &files);
        for (const int fd : files) ::close(fd);
    });
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * LARGE_FILES * LARGE_FILE));
}

// One BLAKE2b-160 pass over as many bytes as the large v2 run writes.
void BM_BareBlake2b160(benchmark::State& state) {
    std::vector<uint8_t> piece(FILE_BLOCK_SIZE, 0x5a);
    const double start = process_cpu_seconds();
    for (auto _ : state) {
        for (uint64_t f = 0; f < LARGE_FILES; ++f) {
            format::Blake2b160 hasher;
            for (uint64_t done = 0; done < LARGE_FILE; done += FILE_BLOCK_SIZE) hasher.update(piece);
            benchmark::DoNotOptimize(hasher.finalize());
        }
    }
    set_cpu_counter(state, process_cpu_seconds() - start);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * LARGE_FILES * LARGE_FILE));
}

// The shard paths of a real small-file run, so that the bare loop meets the same directories.
const std::vector<fs::path>& small_file_paths() {
    static const std::vector<fs::path> paths = [] {
        RunDir dir;
        const auto summary =
            gen::generate(options_for(dir.path(), SMALL_FILE, SMALL_FILES, FormatVersion::V3, 1));
        std::vector<fs::path> out;
        if (!summary) return out;
        for (const auto& e : fs::recursive_directory_iterator(dir.path())) {
            const auto relative = fs::relative(e.path(), dir.path());
            if (e.is_regular_file() && *relative.begin() != ".metadata") out.push_back(relative);
        }
        return out;
    }();
    return paths;
}

// Per file: create a temporary file exclusively, write 4096 bytes, close, make the shard
// directories the first time they are met, rename into place. No content, no hashing.
void BM_BareSmallFiles(benchmark::State& state) {
    const auto& paths = small_file_paths();
    base::PageBuffer bytes(SMALL_FILE);
    std::fill(bytes.begin(), bytes.end(), uint8_t{0x5a});
    run_in_fresh_dirs(state, [&](const fs::path& dir) {
        std::unordered_set<std::string> made;
        uint32_t counter = 0;
        for (const auto& relative : paths) {
            const fs::path temp = dir / fmt::format("0000000000000000{:08x}", counter++);
            const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd < 0 || !base::write_all(fd, bytes)) state.SkipWithError("bare write failed");
            ::close(fd);
            const fs::path final_path = dir / relative;
            if (made.insert(final_path.parent_path().native()).second)
                fs::create_directories(final_path.parent_path());
            if (::rename(temp.c_str(), final_path.c_str()) != 0) state.SkipWithError("bare rename failed");
        }
    });
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * paths.size() * SMALL_FILE));
    state.counters["files_per_second"] = benchmark::Counter(
        static_cast<double>(state.iterations() * paths.size()), benchmark::Counter::kIsRate);
}

// Jobs 1, 2, 4 and 8, two whole runs each.
void over_job_counts(benchmark::internal::Benchmark* b) {
    b->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_GenerateLargeV3)->Apply(over_job_counts);
BENCHMARK(BM_BareFillAndHash)->Apply(over_job_counts);
BENCHMARK(BM_BareFillHashWrite)->Apply(over_job_counts);
BENCHMARK(BM_GenerateSmallFiles)->Arg(1)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareSmallFiles)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GenerateLargeV2)
    ->Arg(1)
    ->Arg(4)
    ->Arg(8)
    ->Iterations(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareBlake2b160)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);

void print_ratio(const RateReporter& r, const std::string& what, const std::string& ours,
                 const std::string& base, const char* counter, double unit, const char* unit_name,
                 double target) {
    const double x = r.get(ours, counter);
    const double y = r.get(base, counter);
    if (x == 0 || y == 0) return;  // filtered out
    const double ratio = x / y;
    std::printf("%-40s %9.0f %s vs %9.0f %s  ratio %.3f", what.c_str(), x / unit, unit_name, y / unit,
                unit_name, ratio);
    if (target > 0) std::printf(" (target >= %.2f) %s", target, ratio >= target ? "ok" : "BELOW TARGET");
    std::printf("\n");
}

// The same work's CPU time: the bare loop's over ours (1 means no extra work at all).
void print_cpu_ratio(const RateReporter& r, const std::string& what, const std::string& ours,
                     const std::string& base) {
    const double x = r.get(ours, "cpu_seconds");
    const double y = r.get(base, "cpu_seconds");
    if (x == 0 || y == 0) return;  // filtered out
    std::printf("%-40s %7.2f s CPU vs %7.2f s CPU  ratio %.3f\n", what.c_str(), x, y, y / x);
}

}  // namespace

int main(int argc, char** argv) {
    format::initialize_crypto();
    std::vector<char*> args(argv, argv + argc);
    std::string repetitions = "--benchmark_repetitions=3";
    std::string aggregates = "--benchmark_display_aggregates_only=true";
    std::string interleaving = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, {repetitions.data(), aggregates.data(), interleaving.data()});
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
    std::printf("store directory: %s\n", bench_parent().c_str());
    RateReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf("\n");
    for (const int jobs : {1, 2, 4, 8}) {
        const std::string arg = "/" + std::to_string(jobs) + "/iterations:2/real_time";
        print_ratio(reporter, fmt::format("generate v3 8 x 64 MiB, jobs {}", jobs),
                    "BM_GenerateLargeV3" + arg, "BM_BareFillAndHash" + arg, "bytes_per_second", 1e6, "MB/s",
                    jobs == 4 ? 0.8 : 0);
    }
    for (const int jobs : {1, 2, 4, 8}) {
        const std::string arg = "/" + std::to_string(jobs) + "/iterations:2/real_time";
        print_ratio(reporter, fmt::format("  same, vs fill+hash+write, jobs {}", jobs),
                    "BM_GenerateLargeV3" + arg, "BM_BareFillHashWrite" + arg, "bytes_per_second", 1e6, "MB/s",
                    0);
    }
    print_ratio(reporter, "generate 20000 x 4096 B files", "BM_GenerateSmallFiles/1/iterations:2/real_time",
                "BM_BareSmallFiles/iterations:2/real_time", "files_per_second", 1, "files/s", 0.7);
    for (const int jobs : {1, 4, 8}) {
        print_ratio(reporter, fmt::format("generate v2 8 x 64 MiB, jobs {}", jobs),
                    "BM_GenerateLargeV2/" + std::to_string(jobs) + "/iterations:2/real_time",
                    "BM_BareBlake2b160/iterations:2/real_time", "bytes_per_second", 1e6, "MB/s", 0);
    }
    std::printf("\nCPU time per run (all threads), bare loop over generate:\n");
    for (const int jobs : {1, 2, 4, 8}) {
        const std::string arg = "/" + std::to_string(jobs) + "/iterations:2/real_time";
        print_cpu_ratio(reporter, fmt::format("generate v3 8 x 64 MiB, jobs {}", jobs),
                        "BM_GenerateLargeV3" + arg, "BM_BareFillAndHash" + arg);
    }
    print_cpu_ratio(reporter, "generate 20000 x 4096 B files",
                    "BM_GenerateSmallFiles/1/iterations:2/real_time",
                    "BM_BareSmallFiles/iterations:2/real_time");
    return 0;
}
