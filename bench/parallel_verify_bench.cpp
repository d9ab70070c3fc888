// Throughput of store verification under a worker budget of 8 against the budget of 1, measured
// in the same run: one 2 GiB v3 file (a tail file with 8 lanes), eight 256 MiB v3 files, 20,000
// files of 4 KiB, one 2 GiB v2 file against the bare BLAKE2b-160 rate, and the corruption
// analysis of a 1 GiB v3 file with 30 % of its chunks damaged, 8 lanes against one. The eight
// 256 MiB files are also verified by a bare loop on 1 and on 8 threads, the floor of what a
// budget of 1 and of 8 can reach. The stores are generated first (under $KRO_BENCH_DIR when set,
// and kept there for the next run; in a temporary directory removed at the end otherwise); each
// benchmark reads its store once first so that the page cache is hot. Repetitions run
// interleaved, in random order, so that a busy spell of the machine spreads over all of them.
// Prints the ratios of the medians after the runs.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/fd.hpp"
#include "base/fs/file_io.hpp"
#include "base/fs/regular_file.hpp"
#include "base/page_buffer.hpp"
#include "base/parallel/thread_scope.hpp"
#include "format/content.hpp"
#include "format/digest.hpp"
#include "format/file_id.hpp"
#include "format/header.hpp"
#include "format/store_path.hpp"
#include "gen/generate.hpp"
#include "rate_reporter.hpp"
#include "verify/corruption_analysis.hpp"
#include "verify/analysis/memory_budget.hpp"
#include "verify/data_file_reader.hpp"
#include "verify/schedule.hpp"
#include "verify/verify_run.hpp"
#include "verify/verify_store.hpp"

namespace {

namespace fs = std::filesystem;
using namespace kro;
using kro::bench::RateReporter;

constexpr uint64_t MIB = 1 << 20;
constexpr uint64_t CHUNK = 4096;

struct BenchStore {
    const char* name;
    format::FormatVersion version;
    uint64_t file_size;
    uint64_t files;
};

const std::array<BenchStore, 5> STORES = {{
    {"v3_2GiB", format::FormatVersion::V3, 2048 * MIB, 1},
    {"v3_8x256MiB", format::FormatVersion::V3, 256 * MIB, 8},
    {"v3_20000x4KiB", format::FormatVersion::V3, 4096, 20000},
    {"v2_2GiB", format::FormatVersion::V2, 2048 * MIB, 1},
    {"v3_1GiB_damaged", format::FormatVersion::V3, 1024 * MIB, 1},
}};

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "parallel_verify_bench: %s\n", what.c_str());
    std::exit(1);
}

std::vector<fs::path> data_files(const fs::path& root) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        // Only content files: the store also holds its metadata.
        if (entry.is_regular_file() && format::parse_content_path(entry.path())) {
            files.push_back(entry.path());
        }
    }
    return files;
}

// Damages 30 % of the 4 KiB chunks of the file: zeros, one flipped byte or noise, in turn.
void damage_chunks(const fs::path& path) {
    const base::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    const uint64_t chunks = fs::file_size(path) / CHUNK;
    std::vector<uint8_t> bytes(CHUNK);
    uint32_t noise = 12345;
    for (uint64_t i = 1; i < chunks; ++i) {
        if ((i * 7) % 10 >= 3) continue;
        const uint64_t at = i * CHUNK;
        if (!base::read_at_full(fd.get(), bytes, at, nullptr)) fail("reading the file to damage");
        switch (i % 3) {
            case 0:
                std::fill(bytes.begin(), bytes.end(), 0);
                break;
            case 1:
                bytes[i % CHUNK] ^= 0xFF;
                break;
            default:
                for (auto& b : bytes) b = static_cast<uint8_t>((noise = noise * 1103515245 + 12345) >> 16);
        }
        if (!base::write_all_at(fd.get(), bytes, at, nullptr)) fail("damaging the file");
    }
}

// Marks a store as completely generated, so that a kept store is not made again.
fs::path ready_marker(const fs::path& root) {
    return root.parent_path() / (root.filename().native() + ".ready");
}

void generate_store(const fs::path& root, const BenchStore& spec) {
    std::fprintf(stderr, "generating %s ...\n", spec.name);
    gen::GenerateOptions options{
        .root = root,
        .max_files = spec.files,
        .sampler = gen::SizeSampler::from_seed(gen::SizeSpec{gen::SizeSpec::Fixed{spec.file_size}},
                                               gen::MasterSeed{}),
        .jobs = 8,
        .writers = 8,
        .version = spec.version,
    };
    if (auto done = gen::generate(std::move(options)); !done) fail(done.error().message());
    if (std::string(spec.name).ends_with("damaged")) damage_chunks(data_files(root).at(0));
    // Beside the store, not in it: a stray file would be one more file to verify.
    std::ofstream(ready_marker(root)).put('1');
}

// Reads every file once so that the runs find the page cache hot. Each benchmark warms its own
// store first: a machine that pages out cold memory may have evicted it since the last run.
void warm(const fs::path& root) {
    std::vector<uint8_t> buffer(8 * MIB);
    for (const auto& path : data_files(root)) {
        const base::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        for (uint64_t at = 0;; at += buffer.size()) {
            auto got = base::read_at_full(fd.get(), buffer, at, nullptr);
            if (!got || *got < buffer.size()) break;
        }
    }
}

uint64_t total_bytes(const fs::path& root) {
    uint64_t total = 0;
    for (const auto& path : data_files(root)) total += fs::file_size(path);
    return total;
}

void BM_VerifyStore(benchmark::State& state, fs::path root, uint64_t jobs) {
    warm(root);
    const uint64_t bytes = total_bytes(root);
    uint64_t files = 0;
    for (auto _ : state) {
        auto report = verify::verify_store(verify::VerifyOptions{.root = root, .jobs = jobs});
        if (!report) {
            state.SkipWithError(report.error().message().c_str());
            return;
        }
        files = report->files_checked;
        benchmark::DoNotOptimize(report->issues.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * files));
}

// The verification of the files alone, from the walked list on: the stage that the budget
// spreads over workers.
void BM_VerifyFiles(benchmark::State& state, fs::path root, uint64_t jobs) {
    warm(root);
    const auto files = verify::walk_store(root);
    if (!files) {
        state.SkipWithError(files.error().message().c_str());
        return;
    }
    const auto options = verify::VerifyOptions{.root = root, .jobs = jobs};
    for (auto _ : state) {
        verify::MemoryBudget budget;
        store::ProgressTracker tracker(std::nullopt, files->size(), {});
        verify::ReportCollector collector;
        if (auto done = verify::verify_files(verify::VerifyRun(options, budget, tracker), *files, collector);
            !done) {
            state.SkipWithError(done.error().message().c_str());
            return;
        }
        benchmark::DoNotOptimize(collector.reports.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * files->size()));
}

// The part of a run that stays on one thread whatever the budget: the walk and sort.
void BM_WalkStore(benchmark::State& state, fs::path root) {
    for (auto _ : state) {
        auto files = verify::walk_store(root);
        if (!files) {
            state.SkipWithError(files.error().message().c_str());
            return;
        }
        state.SetItemsProcessed(static_cast<int64_t>(files->size()));
    }
}

// The floor of v3 verification: only the work that cannot be avoided, on `threads` threads, each
// taking every threads-th file. Per file: open, size, header; per 1 MiB block: pread into a
// page-aligned buffer, squeeze the block's expected content, compare, hash the leaf; then the
// Merkle root.
bool bare_verify_file(const fs::path& path, base::PageBuffer& block, base::PageBuffer& expected,
                      format::Shake128& sponge) {
    const base::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0) fail("opening a file of the bare loop");
    const auto length = static_cast<uint64_t>(st.st_size);
    std::array<uint8_t, format::HEADER_LEN> raw{};
    if (::pread(fd.get(), raw.data(), raw.size(), 0) != static_cast<ssize_t>(raw.size()))
        fail("reading a header in the bare loop");
    const auto header = format::Header::parse(raw);
    if (!header) fail("a header of the bare loop is invalid");
    const uint64_t blocks = format::v3_leaf_count(length);
    std::vector<format::MerkleHash> leaves(blocks);
    bool equal = true;
    for (uint64_t b = 0; b < blocks; ++b) {
        const auto n = static_cast<size_t>(format::file_block_len(length, b));
        if (::pread(fd.get(), block.data(), n, static_cast<off_t>(b * MIB)) != static_cast<ssize_t>(n))
            fail("reading a block in the bare loop");
        const size_t skip = b == 0 ? format::HEADER_LEN : 0;
        const auto want = expected.span().first(n - skip);
        format::fill_content_block(sponge, format::FormatVersion::V3, header->seed(), b, want);
        equal = equal && std::memcmp(block.data() + skip, want.data(), want.size()) == 0;
        leaves[b] = format::leaf_hash(b, block.span().first(n));
    }
    benchmark::DoNotOptimize(format::merkle_file_id(std::move(leaves), length));
    return equal;
}

void BM_BareVerify(benchmark::State& state, fs::path root, uint64_t threads) {
    warm(root);
    const std::vector<fs::path> files = data_files(root);
    const uint64_t bytes = total_bytes(root);
    for (auto _ : state) {
        std::atomic<bool> all_equal{true};
        base::ThreadScope scope;
        for (uint64_t t = 0; t < threads; ++t) {
            const bool started = scope.spawn([&, t] {
                base::PageBuffer block(MIB);
                base::PageBuffer expected(MIB);
                format::Shake128 sponge;
                for (size_t f = t; f < files.size(); f += threads) {
                    if (!bare_verify_file(files[f], block, expected, sponge)) all_equal = false;
                }
            });
            if (!started) fail("starting a thread of the bare loop");
        }
        scope.join_and_rethrow();
        if (!all_equal) fail("the bare loop found a damaged file");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void BM_BareBlake2b160(benchmark::State& state) {
    std::vector<uint8_t> piece(MIB, 0x3C);
    constexpr uint64_t LEN = 256 * MIB;
    for (auto _ : state) {
        format::Blake2b160 hasher;
        for (uint64_t done = 0; done < LEN; done += MIB) hasher.update(piece);
        benchmark::DoNotOptimize(hasher.finalize());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * LEN));
}

void BM_Analysis(benchmark::State& state, fs::path root, uint64_t lanes) {
    warm(root);
    const fs::path path = data_files(root).at(0);
    auto opened = base::open_regular_for_reading(path.c_str());
    if (!opened || !opened->is_regular()) fail("opening the damaged file");
    std::array<uint8_t, format::HEADER_LEN> raw{};
    if (!base::read_at_full(opened->fd.get(), raw, 0, nullptr)) fail("reading the damaged file's header");
    const auto header = format::Header::parse(raw);
    if (!header) fail("the damaged file's header is invalid");
    const uint64_t len = fs::file_size(path);
    const verify::VerifyOptions options{.root = root, .chunk_size = CHUNK};
    store::ProgressTracker tracker(std::nullopt, std::nullopt, nullptr);
    verify::WorkerScratch scratch;
    size_t regions = 0;
    for (auto _ : state) {
        verify::MemoryBudget budget;
        const verify::VerifyRun run(options, budget, tracker);
        verify::DataFileReader file(run, *opened, lanes, scratch);
        if (!file.read_header()) fail("reading the damaged file's header");
        file.accept_header(*header);
        auto found = verify::analyze_corruption(file);
        if (!found) {
            state.SkipWithError(found.error().message().c_str());
            return;
        }
        regions = found->size();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * len));
    state.counters["regions"] = static_cast<double>(regions);
}

void print_ratio(const RateReporter& r, const char* what, const std::string& ours, const std::string& base,
                 const char* counter, double target) {
    const double a = r.get(ours, counter);
    const double b = r.get(base, counter);
    if (a == 0 || b == 0) return;
    const double ratio = a / b;
    const bool files = std::string(counter) == "items_per_second";
    std::printf("%-46s %10.0f %s vs %10.0f  ratio %5.2f (target >= %.2f) %s\n", what, files ? a : a / 1e6,
                files ? "files/s" : "MB/s   ", files ? b : b / 1e6, ratio, target,
                ratio >= target ? "ok" : "BELOW TARGET");
}

std::string run_name(const std::string& base, const BenchStore& store, uint64_t jobs) {
    return base + "/" + store.name + "/" + std::to_string(jobs);
}

}  // namespace

int main(int argc, char** argv) {
    format::initialize_crypto();
    const char* kept = std::getenv("KRO_BENCH_DIR");
    const fs::path data = kept != nullptr ? fs::path(kept) : fs::temp_directory_path() / "kro-verify-bench";
    for (const auto& store : STORES) {
        const fs::path root = data / store.name;
        if (!fs::exists(ready_marker(root))) {
            fs::remove_all(root);
            generate_store(root, store);
        }
    }

    std::vector<char*> args(argv, argv + argc);
    std::string repetitions = "--benchmark_repetitions=5";
    std::string aggregates = "--benchmark_display_aggregates_only=true";
    std::string interleaving = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, {repetitions.data(), aggregates.data(), interleaving.data()});
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;

    for (const auto& store : STORES) {
        const fs::path root = data / store.name;
        for (const uint64_t jobs : {1, 8}) {
            const std::string name =
                std::string(store.name).ends_with("damaged") ? "BM_Analysis" : "BM_VerifyStore";
            auto* bench = name == "BM_Analysis"
                              ? benchmark::RegisterBenchmark(run_name(name, store, jobs).c_str(), BM_Analysis,
                                                             root, jobs)
                              : benchmark::RegisterBenchmark(run_name(name, store, jobs).c_str(),
                                                             BM_VerifyStore, root, jobs);
            bench->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
        }
    }
    for (const uint64_t jobs : {1, 8}) {
        benchmark::RegisterBenchmark(run_name("BM_VerifyFiles", STORES[2], jobs).c_str(), BM_VerifyFiles,
                                     data / STORES[2].name, jobs)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->Iterations(1);
    }
    benchmark::RegisterBenchmark("BM_WalkStore/v3_20000x4KiB", BM_WalkStore, data / STORES[2].name)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Iterations(1);
    for (const uint64_t threads : {1, 8}) {
        benchmark::RegisterBenchmark(run_name("BM_BareVerify", STORES[1], threads).c_str(), BM_BareVerify,
                                     data / STORES[1].name, threads)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->Iterations(1);
    }
    benchmark::RegisterBenchmark("BM_BareBlake2b160", BM_BareBlake2b160)->Unit(benchmark::kMillisecond);
    RateReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf("\n");
    const auto ratio = [&](const char* what, const BenchStore& store, const char* base, const char* counter,
                           double target) {
        print_ratio(reporter, what, run_name(base, store, 8), run_name(base, store, 1), counter, target);
    };
    ratio("one 2 GiB v3 file, J=8 vs J=1", STORES[0], "BM_VerifyStore", "bytes_per_second", 5.0);
    ratio("8 files of 256 MiB, J=8 vs J=1", STORES[1], "BM_VerifyStore", "bytes_per_second", 5.0);
    for (const uint64_t jobs : {8, 1}) {
        print_ratio(reporter,
                    jobs == 8 ? "8 files of 256 MiB, J=8 vs bare 8-thread loop"
                              : "8 files of 256 MiB, J=1 vs bare single loop",
                    run_name("BM_VerifyStore", STORES[1], jobs), run_name("BM_BareVerify", STORES[1], jobs),
                    "bytes_per_second", jobs == 8 ? 0.85 : 0.9);
    }
    ratio("20,000 files of 4 KiB, J=8 vs J=1", STORES[2], "BM_VerifyFiles", "items_per_second", 4.0);
    ratio("20,000 files of 4 KiB, whole run with the walk", STORES[2], "BM_VerifyStore", "items_per_second",
          0.0);
    print_ratio(reporter, "one 2 GiB v2 file, J=8 vs bare BLAKE2b-160",
                run_name("BM_VerifyStore", STORES[3], 8), "BM_BareBlake2b160", "bytes_per_second", 0.85);
    ratio("v2 2 GiB file, J=8 vs J=1 (for reference)", STORES[3], "BM_VerifyStore", "bytes_per_second", 0.0);
    ratio("analysis of 1 GiB, 30 % damaged, 8 lanes vs 1", STORES[4], "BM_Analysis", "bytes_per_second", 4.0);
    if (kept == nullptr) fs::remove_all(data);
    return 0;
}
