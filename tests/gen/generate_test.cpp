#include "gen/generate.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>

#include "base/errors/panic.hpp"
#include "gen/store_recheck.hpp"
#include "gen/write_faults.hpp"
#include "store/snapshot_recorder.hpp"
#include "store/worker_count.hpp"
#include "support/scratch_dir.hpp"

namespace kro::gen {
namespace {

namespace fs = std::filesystem;
using format::FILE_BLOCK_SIZE;
using format::FormatVersion;

const std::string ZERO_TIP(40, '0');

SizeSampler fixed(uint64_t size) {
    return SizeSampler::from_seed(SizeSpec{SizeSpec::Fixed{size}}, MasterSeed{});
}

MasterSeed seed_of(std::string_view text) {
    return derive_master_seed(text).value();
}

std::vector<std::string> names_in(const fs::path& dir) {
    std::vector<std::string> names;
    if (!fs::exists(dir)) return names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::ranges::sort(names);
    return names;
}

// Every file below `root` by relative path, with a digest of its bytes.
std::map<std::string, std::array<uint8_t, 20>> tree_of(const fs::path& root) {
    std::map<std::string, std::array<uint8_t, 20>> tree;
    std::vector<char> piece(1 << 20);
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        if (!e.is_regular_file()) continue;
        std::ifstream in(e.path(), std::ios::binary);
        format::Blake2b160 hasher;
        while (in.read(piece.data(), static_cast<std::streamsize>(piece.size())) || in.gcount() > 0) {
            hasher.update({reinterpret_cast<const uint8_t*>(piece.data()), static_cast<size_t>(in.gcount())});
        }
        tree[fs::relative(e.path(), root).string()] = hasher.finalize();
    }
    return tree;
}

// Temporary names whose random digits are all `fill`, the last one as `last` when given.
struct FixedNames : base::Hooks {
    explicit FixedNames(uint8_t fill, std::optional<uint8_t> last = std::nullopt) : fill(fill), last(last) {}
    std::expected<void, base::IoError> fill_random(std::span<uint8_t> out) const override {
        std::ranges::fill(out, fill);
        if (last) out.back() = *last;
        return {};
    }
    uint8_t fill;
    std::optional<uint8_t> last;
};

std::string error_text(const std::expected<GenerateSummary, GenerateError>& result) {
    return result ? std::string("success") : base::error_chain(result.error());
}

TEST(StoreGenerateOptionsTest, DefaultsAndTheJobsCap) {
    const GenerateOptions options{.root = "root"};
    EXPECT_EQ(options.root, fs::path("root"));
    EXPECT_FALSE(options.max_files);
    EXPECT_FALSE(options.max_disk_usage);
    EXPECT_EQ(options.sampler.spec(), (SizeSpec{SizeSpec::Fixed{4096}}));
    EXPECT_EQ(options.observer, nullptr);
    EXPECT_EQ(options.jobs, store::default_worker_count());
    EXPECT_EQ(options.writers, 4u);
    EXPECT_EQ(options.version, FormatVersion::V3);
    EXPECT_FALSE(options.master_seed);

    EXPECT_EQ((GenerateOptions{.root = "r", .jobs = 1000}).jobs, 256u);
    EXPECT_EQ((GenerateOptions{.root = "r", .jobs = 0}).jobs, 0u);
    EXPECT_EQ((GenerateOptions{.root = "r", .jobs = 7}).jobs, 7u);
    EXPECT_EQ((GenerateOptions{.root = "r", .sampler = fixed(10)}).sampler.spec(),
              (SizeSpec{SizeSpec::Fixed{10}}));
    // An assignment is clamped as well.
    GenerateOptions assigned{.root = "r"};
    assigned.jobs = 1000;
    EXPECT_EQ(assigned.jobs, 256u);
}

TEST(StoreGenerateTest, LimitsDecideTheFilesAndTheProgressTotals) {
    const SizeSpec lognormal = SizeSpec::LogNormal::make(5000, Band{60, 100000}, 0.5).value();
    struct Case {
        const char* name;
        SizeSpec spec;
        std::optional<uint64_t> max_files;
        std::optional<uint64_t> max_disk_usage;
        uint64_t files;
        std::optional<uint64_t> file_size;  // every file's size, when fixed
        std::optional<uint64_t> bytes_total;
        std::optional<uint64_t> files_total;
    };
    const Case cases[] = {
        {"max_files 0", SizeSpec{SizeSpec::Fixed{4096}}, 0, std::nullopt, 0, std::nullopt, 0, 0},
        {"max_disk_usage 0", SizeSpec{SizeSpec::Fixed{4096}}, std::nullopt, 0, 0, std::nullopt, 0, 0},
        {"disk limit below the first size", SizeSpec{SizeSpec::Fixed{4096}}, std::nullopt, 100, 1, 4096, 4096,
         1},
        {"4096 x 10000", SizeSpec{SizeSpec::Fixed{4096}}, std::nullopt, 10000, 3, 4096, 12288, 3},
        {"4096 x 10000 and 2 files", SizeSpec{SizeSpec::Fixed{4096}}, 2, 10000, 2, 4096, 8192, 2},
        {"fixed 10 is raised to 60", SizeSpec{SizeSpec::Fixed{10}}, 3, std::nullopt, 3, 60, 180, 3},
        {"lognormal with 5 files", lognormal, 5, std::nullopt, 5, std::nullopt, std::nullopt, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testing::ScratchDir dir;
        testing::SnapshotRecorder recorder;
        const auto summary = generate({
            .root = dir / "store",
            .max_files = c.max_files,
            .max_disk_usage = c.max_disk_usage,
            .sampler = SizeSampler::from_seed(c.spec, seed_of("limits")),
            .observer = recorder.observer(),
            .jobs = 1,
            .master_seed = seed_of("limits"),
        });
        ASSERT_TRUE(summary.has_value()) << error_text(summary);
        EXPECT_EQ(summary->files_written, c.files);

        const auto store = testing::recheck_store(dir / "store");
        EXPECT_EQ(store.files.size(), c.files);
        uint64_t bytes = 0;
        for (const auto& [id, file] : store.files) {
            bytes += file.header.file_length();
            if (c.file_size) {
                EXPECT_EQ(file.header.file_length(), *c.file_size);
            }
        }
        EXPECT_EQ(summary->bytes_written, bytes);
        EXPECT_EQ(testing::chain_of(store, summary->tip).size(), c.files);
        if (c.files == 0) {
            EXPECT_TRUE(summary->tip.is_zero());
            EXPECT_EQ(store.markers, std::vector<std::string>{ZERO_TIP});
        }

        ASSERT_FALSE(recorder.seen.empty());
        EXPECT_EQ(recorder.seen.front(), (store::ProgressSnapshot{c.bytes_total, c.files_total, 0, 0}));
        EXPECT_EQ(recorder.seen.back(),
                  (store::ProgressSnapshot{c.bytes_total, c.files_total, bytes, c.files}));
    }
}

TEST(StoreGenerateTest, WithoutLimitsAFixedSizeRunHasNoTotals) {
    testing::ScratchDir dir;
    testing::SnapshotRecorder recorder;
    ASSERT_TRUE(generate({
                             .root = dir.path(),
                             .max_disk_usage = 500,
                             .sampler = SizeSampler::from_seed(SizeSpec::Range::make(100, 200, false).value(),
                                                               seed_of("range")),
                             .observer = recorder.observer(),
                         })
                    .has_value());
    EXPECT_EQ(recorder.seen.front(), (store::ProgressSnapshot{500, std::nullopt, 0, 0}));
}

// Same seeded arguments in fresh roots give the same trees, whatever the worker budget.
TEST(StoreGenerateTest, SeededRunsAreIdenticalForEveryJobs) {
    struct Config {
        const char* name;
        SizeSpec spec;
        uint64_t files;
    };
    const Config configs[] = {
        {"small and medium files", SizeSpec::Range::make(1, 4 * FILE_BLOCK_SIZE, false).value(), 5},
        // 17 blocks: parallel for every budget from 2 to 8.
        {"large files", SizeSpec{SizeSpec::Fixed{16 * FILE_BLOCK_SIZE + 1}}, 2},
    };
    for (const auto& config : configs) {
        SCOPED_TRACE(config.name);
        std::optional<std::map<std::string, std::array<uint8_t, 20>>> reference;
        std::optional<GenerateSummary> reference_summary;
        for (const size_t jobs : {0, 1, 2, 3, 8}) {
            SCOPED_TRACE(::testing::Message() << "jobs " << jobs);
            testing::ScratchDir dir;
            const auto summary = generate({
                .root = dir / "store",
                .max_files = config.files,
                .sampler = SizeSampler::from_seed(config.spec, seed_of("reproducible")),
                .jobs = jobs,
                .master_seed = seed_of("reproducible"),
            });
            ASSERT_TRUE(summary.has_value()) << error_text(summary);
            auto tree = tree_of(dir / "store");
            if (!reference) {
                // The others are compared with this one, which passes the re-check.
                const auto store = testing::recheck_store(dir / "store");
                EXPECT_EQ(testing::chain_of(store, summary->tip).size(), config.files);
                reference = std::move(tree);
                reference_summary = *summary;
                continue;
            }
            EXPECT_TRUE(tree == *reference);
            EXPECT_EQ(summary->tip, reference_summary->tip);
            EXPECT_EQ(summary->aggregate, reference_summary->aggregate);
            EXPECT_EQ(summary->bytes_written, reference_summary->bytes_written);
        }
    }
}

TEST(StoreGenerateTest, UnseededV2FilesPassTheRecheckForEveryJobs) {
    for (const size_t jobs : {0, 1, 2, 3, 8}) {
        SCOPED_TRACE(::testing::Message() << "jobs " << jobs);
        testing::ScratchDir dir;
        testing::SnapshotRecorder recorder;
        const auto summary = generate({
            .root = dir.path(),
            .max_files = 2,
            // 7 blocks: parallel with 2 and 3 jobs, sequential otherwise.
            .sampler = fixed(6 * FILE_BLOCK_SIZE + 1),
            .observer = recorder.observer(),
            .jobs = jobs,
            .version = FormatVersion::V2,
        });
        ASSERT_TRUE(summary.has_value()) << error_text(summary);
        EXPECT_EQ(summary->version, FormatVersion::V2);
        const auto store = testing::recheck_store(dir.path());
        EXPECT_EQ(testing::chain_of(store, summary->tip).size(), 2u);
        for (const auto& [id, file] : store.files) EXPECT_EQ(file.header.version(), FormatVersion::V2);
        EXPECT_EQ(recorder.seen.back().bytes_done, 2 * (6 * FILE_BLOCK_SIZE + 1));
        EXPECT_EQ(recorder.seen.back().files_done, 2u);
    }
}

TEST(StoreGenerateTest, ParallelWriterTakesFilesWithTwoBlocksPerJob) {
    struct Case {
        uint64_t size;
        size_t jobs;
        bool parallel;
    };
    const Case cases[] = {
        {FILE_BLOCK_SIZE, 2, false},         {3 * FILE_BLOCK_SIZE + 1, 2, true},
        {3 * FILE_BLOCK_SIZE + 1, 3, false}, {4 * FILE_BLOCK_SIZE, 2, true},
        {6 * FILE_BLOCK_SIZE, 3, true},      {6 * FILE_BLOCK_SIZE, 1, false},
        {6 * FILE_BLOCK_SIZE, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "size " << c.size << " jobs " << c.jobs);
        testing::ScratchDir dir;
        // Only the parallel writer writes at an offset.
        struct CountWrites : base::Hooks {
            ssize_t pwrite(int fd, const void* buf, size_t count, uint64_t offset) const override {
                ++parallel_writes;
                return Hooks::pwrite(fd, buf, count, offset);
            }
            mutable std::atomic<int> parallel_writes{0};
        } hooks;
        ASSERT_TRUE(generate({
                                 .root = dir.path(),
                                 .max_files = 1,
                                 .sampler = fixed(c.size),
                                 .jobs = c.jobs,
                                 .hooks = &hooks,
                             })
                        .has_value());
        EXPECT_EQ(hooks.parallel_writes.load() > 0, c.parallel);
        testing::recheck_store(dir.path());
    }
}

TEST(StoreGenerateTest, RunsIntoOneStoreAddTheirChainTips) {
    testing::ScratchDir dir;
    const auto run = [&](bool seeded) {
        auto summary = generate({
            .root = dir.path(),
            .max_files = 3,
            .sampler = fixed(1000),
            .jobs = 1,
            .master_seed = seeded ? std::optional(seed_of("again")) : std::nullopt,
        });
        EXPECT_TRUE(summary.has_value()) << error_text(summary);
        return summary->tip;
    };
    const auto first = run(false);
    const auto second = run(false);
    auto store = testing::recheck_store(dir.path());
    EXPECT_EQ(store.files.size(), 6u);
    EXPECT_EQ(testing::chain_of(store, first).size(), 3u);
    EXPECT_EQ(testing::chain_of(store, second).size(), 3u);
    EXPECT_EQ(store.markers.size(), 2u);

    const auto seeded = run(true);
    const auto tree = tree_of(dir.path());
    EXPECT_EQ(run(true), seeded);  // the same files onto the same paths, the same marker
    EXPECT_TRUE(tree_of(dir.path()) == tree);
    store = testing::recheck_store(dir.path());
    EXPECT_EQ(store.files.size(), 9u);
    EXPECT_EQ(store.markers.size(), 3u);
}

TEST(StoreGenerateTest, SeededV2IsRefusedBeforeTouchingTheDisk) {
    testing::ScratchDir dir;
    const auto result =
        generate({.root = dir / "store", .version = FormatVersion::V2, .master_seed = MasterSeed{}});
    ASSERT_FALSE(result.has_value());
    EXPECT_TRUE(result.error().get_if<GenerateError::UnsupportedSeedFormat>() != nullptr);
    EXPECT_EQ(result.error().message(), "seeded generation requires KRO v3");
    EXPECT_FALSE(fs::exists(dir / "store"));
}

// A parallel writer without writers could never place a block: options that ask for one are
// refused before the store root is made. No least value holds for `jobs`.
TEST(StoreGenerateTest, OptionsBelowTheirMinimumAreRefusedBeforeTouchingTheDisk) {
    testing::ScratchDir dir;
    const auto refused = generate({.root = dir / "store", .max_files = 1, .jobs = 4, .writers = 0});
    ASSERT_FALSE(refused.has_value());
    EXPECT_NE(refused.error().get_if<GenerateError::InvalidOptions>(), nullptr);
    EXPECT_EQ(base::error_chain(refused.error()), "invalid options: writers is 0, below its minimum of 1");
    EXPECT_FALSE(fs::exists(dir / "store"));

    const auto least = generate({.root = dir / "least",
                                 .max_files = 1,
                                 .sampler = fixed(8 << 20),
                                 .jobs = 0,
                                 .writers = 1,
                                 .master_seed = seed_of("least")});
    ASSERT_TRUE(least.has_value()) << base::error_chain(least.error());
    const auto parallel = generate({.root = dir / "parallel",
                                    .max_files = 1,
                                    .sampler = fixed(8 << 20),
                                    .jobs = 2,
                                    .writers = 1,
                                    .master_seed = seed_of("least")});
    ASSERT_TRUE(parallel.has_value()) << base::error_chain(parallel.error());
    EXPECT_EQ(parallel->tip, least->tip);
}

TEST(StoreGenerateTest, RootUnderARegularFileCannotBeCreated) {
    testing::ScratchDir dir;
    testing::write_file(dir / "file", "");
    const auto result = generate({.root = dir / "file" / "store"});
    EXPECT_EQ(error_text(result),
              "creating the store root at " + (dir / "file" / "store").string() + ": Not a directory");
}

TEST(StoreGenerateTest, TemporaryNameCollisionsEndTheRun) {
    testing::ScratchDir dir;
    testing::write_file(dir / "000000000000000000000001", "taken");
    const FixedNames hooks(0, 1);
    const auto result = generate({.root = dir.path(), .max_files = 3, .hooks = &hooks});
    EXPECT_EQ(error_text(result), "creating a temporary file at " + dir.path().string() +
                                      ": could not create a uniquely named temporary file");
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"000000000000000000000001"});
}

// A directory where the aggregate belongs would refuse the last step's rename: the run is refused
// before its first file instead, and leaves nothing behind.
TEST(StoreGenerateTest, FailedAggregateRenameLeavesNoTemporaryFile) {
    testing::ScratchDir dir;
    fs::create_directories(dir / ".metadata" / "all" / "occupied");
    const auto result = generate({.root = dir.path(), .max_files = 2});
    EXPECT_EQ(error_text(result),
              "replacing the aggregate at " + (dir / ".metadata" / "all").string() + ": Is a directory");
    EXPECT_EQ(names_in(dir / ".metadata"), (std::vector<std::string>{"all"}));
    EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{".metadata"}));
}

TEST(StoreGenerateTest, FailureWhilePlacingTheFifthFileKeepsTheFourBefore) {
    const auto options_for = [](const fs::path& root) {
        return GenerateOptions{
            .root = root, .max_files = 6, .sampler = fixed(2000), .jobs = 1, .master_seed = seed_of("fifth")};
    };
    testing::ScratchDir reference;
    const auto planned = generate(options_for(reference.path()));
    ASSERT_TRUE(planned.has_value());
    const auto chain = testing::chain_of(testing::recheck_store(reference.path()), planned->tip);
    ASSERT_EQ(chain.size(), 6u);

    testing::ScratchDir dir;
    const fs::path fifth = format::store_path_of(dir.path(), chain[4]);
    fs::create_directories(fifth);  // a directory where the fifth file belongs
    const auto result = generate(options_for(dir.path()));
    EXPECT_EQ(error_text(result), "placing the content file at " + fifth.string() + ": Is a directory");
    const auto store = testing::recheck_store_files(dir.path());
    EXPECT_EQ(store.size(), 4u);
    for (size_t i = 0; i < 4; ++i) EXPECT_TRUE(store.contains(chain[i]));
    EXPECT_FALSE(fs::exists(dir / ".metadata"));
    for (const auto& name : names_in(dir.path())) EXPECT_EQ(name.size(), 2u) << "left behind: " << name;
}

TEST(StoreGenerateTest, ParallelWriteFailureReportsTheLowestBlockAndCleansUp) {
    for (const std::optional<uint64_t> first : {std::optional<uint64_t>{}, std::optional<uint64_t>{12}}) {
        SCOPED_TRACE(::testing::Message() << "first failure " << first.value_or(3));
        testing::ScratchDir dir;
        struct Hooks : testing::WriteFaults {
            using WriteFaults::WriteFaults;
            std::expected<void, base::IoError> fill_random(std::span<uint8_t> out) const override {
                std::ranges::fill(out, 0xab);
                return {};
            }
        } hooks({{3, EIO}, {7, ENOSPC}, {12, EFBIG}}, first);
        const auto result = generate({
            .root = dir.path(),
            .max_files = 2,
            .sampler = fixed(16 * FILE_BLOCK_SIZE),
            .jobs = 2,
            .hooks = &hooks,
        });
        EXPECT_EQ(error_text(result), "writing content at " + (dir / "0000000000000000abababab").string() +
                                          ": Input/output error");
        EXPECT_TRUE(names_in(dir.path()).empty());
    }
}

TEST(StoreGenerateTest, RefusedThreadStartEndsTheRunAndCleansUp) {
    testing::ScratchDir dir;
    const testing::RefuseSpawn hooks(3);
    const auto result = generate({
        .root = dir.path(),
        .max_files = 1,
        .sampler = fixed(8 * FILE_BLOCK_SIZE),
        .jobs = 2,
        .hooks = &hooks,
    });
    ASSERT_FALSE(result.has_value());
    EXPECT_TRUE(
        error_text(result).starts_with("writing content at " + dir.path().string() + "/0000000000000000"));
    EXPECT_TRUE(error_text(result).ends_with(": Resource temporarily unavailable"));
    EXPECT_TRUE(names_in(dir.path()).empty());
}

TEST(StoreGenerateTest, WriterPanicReachesTheCallerAndTheTemporaryFileGoes) {
    testing::ScratchDir dir;
    const testing::FaultAt hooks(1);
    GenerateOptions options{
        .root = dir.path(),
        .max_files = 1,
        .sampler = fixed(8 * FILE_BLOCK_SIZE),
        .jobs = 2,
        .hooks = &hooks,
    };
    EXPECT_THROW({ const auto result = generate(std::move(options)); }, base::Panic);
    EXPECT_TRUE(names_in(dir.path()).empty());
}

TEST(StoreGenerateTest, FailedCloseIsAWriteFailureAndTheFileIsNotPlaced) {
    testing::ScratchDir dir;
    // The second file's close reports a lost write, as a network file system may.
    struct SecondCloseFails : FixedNames {
        SecondCloseFails() : FixedNames(0xcd) {}
        int close(int fd) const override {
            const int closed = Hooks::close(fd);
            if (++closes != 2) return closed;
            errno = EIO;
            return -1;
        }
        mutable int closes = 0;
    } hooks;
    const auto result =
        generate({.root = dir.path(), .max_files = 3, .master_seed = seed_of("close"), .hooks = &hooks});
    ASSERT_FALSE(result.has_value());
    const std::string text = error_text(result);
    EXPECT_TRUE(text.starts_with("writing content at " + dir.path().string() + "/")) << text;
    EXPECT_TRUE(text.ends_with("cdcdcdcd: Input/output error")) << text;
    EXPECT_EQ(testing::recheck_store_files(dir.path()).size(), 1u);
    EXPECT_FALSE(fs::exists(dir / ".metadata"));
    for (const auto& name : names_in(dir.path())) EXPECT_EQ(name.size(), 2u) << "left behind: " << name;
}

// A content file is written under a temporary name: the first 16 hex digits of its parent's ID,
// then 8 random ones; a failure while it is written shows that name.
TEST(StoreGenerateTest, TemporaryNameStartsWithItsParentsIdAndShowsInAnError) {
    const auto options_for = [](const fs::path& root, uint64_t files, const base::Hooks* hooks) {
        return GenerateOptions{
            .root = root,
            .max_files = files,
            .sampler = fixed(3000),
            .jobs = 1,
            .master_seed = seed_of("prefix"),
            .hooks = hooks,
        };
    };
    testing::ScratchDir reference;
    const auto two = generate(options_for(reference.path(), 2, nullptr));
    ASSERT_TRUE(two.has_value());

    // The third file's close fails: its parent is the second file.
    struct ThirdCloseFails : FixedNames {
        ThirdCloseFails() : FixedNames(0xcd) {}
        int close(int fd) const override {
            const int closed = Hooks::close(fd);
            if (++closes != 3) return closed;
            errno = EIO;
            return -1;
        }
        mutable int closes = 0;
    } hooks;
    testing::ScratchDir dir;
    const auto result = generate(options_for(dir.path(), 3, &hooks));
    EXPECT_EQ(error_text(result), "writing content at " +
                                      (dir / (two->tip.to_hex().substr(0, 16) + "cdcdcdcd")).string() +
                                      ": Input/output error");
}

TEST(StoreGenerateTest, LeafTableThatDoesNotFitIsAnError) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizer allocators stop the process on an allocation this large";
#endif
    // Only where the kernel refuses an allocation beyond its memory instead of promising it.
    if (std::ifstream("/proc/sys/vm/overcommit_memory").get() == '1') GTEST_SKIP() << "memory overcommitted";
    testing::ScratchDir dir;
    const auto result =
        generate({.root = dir.path(), .max_files = 1, .sampler = fixed(uint64_t{1} << 62), .jobs = 1});
    ASSERT_FALSE(result.has_value());
    EXPECT_TRUE(error_text(result).starts_with("allocating v3 file hashes at " + dir.path().string() + "/"));
    EXPECT_TRUE(error_text(result).ends_with(": out of memory"));
    EXPECT_TRUE(names_in(dir.path()).empty());
}

TEST(StoreGenerateTest, BandWithoutMassFailsTheSizeSelection) {
    testing::ScratchDir dir;
    const SizeSpec spec = SizeSpec::LogNormal::make(1048576, Band{60, 100}, 0.1).value();
    const auto result = generate(
        {.root = dir.path(), .max_files = 3, .sampler = SizeSampler::from_seed(spec, seed_of("mass"))});
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().message(), "selecting the next file size failed");
    ASSERT_NE(result.error().source(), nullptr);
    EXPECT_TRUE(
        result.error().source()->message().starts_with("insufficient probability mass within 60..=100"));
    EXPECT_TRUE(names_in(dir.path()).empty());
}

}  // namespace
}  // namespace kro::gen
