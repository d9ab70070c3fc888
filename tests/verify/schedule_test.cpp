#include "verify/schedule.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>

#include "base/errors/error.hpp"
#include "parallel_fixture.hpp"
#include "support/scratch_dir.hpp"
#include "verify/corruption_analysis.hpp"
#include "verify/v3_check.hpp"
#include "verify/verify_store.hpp"
#include "verify_fixture.hpp"

namespace kro::verify {
namespace {

using format::FileId;
using format::FormatVersion;
using format::Header;
using namespace kro::verify_testing;
using namespace kro::parallel_testing;

const std::vector<uint64_t> BUDGETS = {1, 2, 3, 8, 256};

// A store with damage of every kind spread over many small files and inside large ones.
void build_damaged_store(StoreBuilder& store) {
    std::vector<uint64_t> small_v3;
    std::vector<uint64_t> small_v2;
    for (uint64_t i = 0; i < 14; ++i) small_v3.push_back(60 + i * 977);
    for (uint64_t i = 0; i < 10; ++i) small_v2.push_back(61 + i * 1409);
    const auto v3_ids = store.add_chain(FormatVersion::V3, small_v3, 1);
    const auto v2_ids = store.add_chain(FormatVersion::V2, small_v2, 40);
    for (size_t i = 2; i < v3_ids.size(); i += 3) flip_bytes(store.path_of(v3_ids[i]), {60 + i});
    for (size_t i = 1; i < v2_ids.size(); i += 4)
        overwrite(store.path_of(v2_ids[i]), 60, std::vector<uint8_t>(i, 0));
    flip_bytes(store.path_of(v3_ids[4]), {10});                     // header checksum broken
    append(store.path_of(v2_ids[6]), std::vector<uint8_t>(33, 9));  // size mismatch, extra bytes
    truncate_file(store.path_of(v3_ids[7]), 60 + 7 * 977 - 100);    // size mismatch, truncated

    // Large files: several lanes and units each when they land in the tail group.
    const auto big = store.add_chain(FormatVersion::V3, {9 * MiB, 5 * MiB + 77, 3 * MiB + 1}, 70);
    overwrite(store.path_of(big[0]), 8 * MiB - 5000, std::vector<uint8_t>(10000, 0));
    flip_bytes(store.path_of(big[0]), {3 * MiB + 5, 4 * MiB});
    flip_bytes(store.path_of(big[1]), {1 * MiB + 1});
    truncate_file(store.path_of(big[2]), 3 * MiB - 10);
    const auto big_v2 = store.add_chain(FormatVersion::V2, {6 * MiB, 4 * MiB + 3}, 80);
    overwrite(store.path_of(big_v2[0]), 4 * MiB, std::vector<uint8_t>(70000, 0x5C));
    append(store.path_of(big_v2[0]), std::vector<uint8_t>(1000, 0));

    // A stray file, and a sound file copied under another valid content path.
    write_file(store.root() / "junk.txt", std::vector<uint8_t>(5, 1));
    const auto copy = read_file(store.path_of(v3_ids[0]));
    write_file(store.root() / "ab" / "cd" / "ef" / std::string(34, '0'), copy);
    store.mark_tip(FileId{{1, 2, 3}});
    store.write_aggregate();
}

struct RunResult {
    std::vector<std::string> issues;
    uint64_t files_checked;
};

RunResult run_store(const std::filesystem::path& root, uint64_t jobs, store::ProgressObserver observer = {}) {
    auto options = options_for(root, 4096, jobs);
    options.progress = std::move(observer);
    auto report = verify_store(options);
    EXPECT_TRUE(report.has_value()) << "jobs " << jobs << ": " << (report ? "" : report.error().message());
    if (!report) return {};
    return {issues_text(report->issues), report->files_checked};
}

TEST(ParallelSplitTest, HeadAndTailGroups) {
    struct Case {
        size_t files;
        uint64_t jobs;
        HeadTailSplit split;
    };
    const std::vector<Case> cases = {
        {100, 8, {93, 7}}, {16, 8, {9, 7}}, {9, 8, {8, 1}},   {8, 8, {8, 0}},       {3, 8, {0, 3}},
        {10, 4, {7, 3}},   {0, 8, {0, 0}},  {5, 256, {0, 5}}, {257, 256, {256, 1}}, {3, 2, {2, 1}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(split_head_tail(c.files, c.jobs), c.split) << c.files << " files, " << c.jobs << " jobs";
    }
}

TEST(VerifyParallelStoreTest, SameReportForEveryBudget) {
    kro::testing::ScratchDir dir;
    StoreBuilder store(dir.path());
    build_damaged_store(store);
    const RunResult one = run_store(dir.path(), 1);
    EXPECT_EQ(one.files_checked, 14u + 10 + 3 + 2 + 2);
    ASSERT_GT(one.issues.size(), 20u);
    for (uint64_t jobs : BUDGETS) {
        const RunResult run = run_store(dir.path(), jobs);
        EXPECT_EQ(run.files_checked, one.files_checked) << "jobs " << jobs;
        EXPECT_EQ(run.issues, one.issues) << "jobs " << jobs;
    }
}

TEST(VerifyParallelStoreTest, SameReportForEveryBudgetWithLargeFilesOnly) {
    // Fewer files than most budgets: the large files form the tail group and share the lanes.
    kro::testing::ScratchDir dir;
    StoreBuilder store(dir.path());
    const auto ids = store.add_chain(FormatVersion::V3, {9 * MiB, 4 * MiB + 9}, 3);
    const auto v2 = store.add_chain(FormatVersion::V2, {5 * MiB + 1, 6 * MiB + 2}, 5);
    overwrite(store.path_of(ids[0]), 8 * MiB - 3, std::vector<uint8_t>(MiB, 0));
    flip_bytes(store.path_of(ids[1]), {4 * MiB + 8});
    overwrite(store.path_of(v2[1]), 100, std::vector<uint8_t>(MiB, 0xEE));
    store.write_aggregate();
    const RunResult one = run_store(dir.path(), 1);
    ASSERT_EQ(one.issues.size(), 3u) << ::testing::PrintToString(one.issues);
    for (uint64_t jobs : BUDGETS) {
        const RunResult run = run_store(dir.path(), jobs);
        EXPECT_EQ(run.files_checked, 4u);
        EXPECT_EQ(run.issues, one.issues) << "jobs " << jobs;
    }
}

TEST(VerifyParallelStoreTest, ProgressCountsEveryFileAndByteOnce) {
    kro::testing::ScratchDir dir;
    StoreBuilder store(dir.path());
    build_damaged_store(store);
    for (uint64_t jobs : {3, 256}) {
        std::mutex mutex;
        store::ProgressSnapshot last;
        const RunResult run =
            run_store(dir.path(), jobs, store::make_progress_observer([&](const store::ProgressSnapshot& s) {
                          const std::lock_guard lock(mutex);
                          EXPECT_GE(s.bytes_done, last.bytes_done);
                          EXPECT_GE(s.files_done, last.files_done);
                          last = s;
                      }));
        ASSERT_TRUE(last.bytes_total.has_value());
        EXPECT_EQ(last.bytes_done, *last.bytes_total) << "jobs " << jobs;
        EXPECT_EQ(last.files_done, run.files_checked) << "jobs " << jobs;
    }
}

// A list of sound small files, with room for files that cannot be opened.
class ParallelScheduleTest : public ::testing::Test {
  protected:
    std::vector<std::filesystem::path> small_files(size_t count) {
        std::vector<uint64_t> lengths;
        for (size_t i = 0; i < count; ++i) lengths.push_back(100 + i * 311);
        std::vector<std::filesystem::path> paths;
        for (const FileId& id :
             store_.add_chain(FormatVersion::V3, lengths, static_cast<uint8_t>(next_seed_++ * 50))) {
            paths.push_back(store_.path_of(id));
        }
        return paths;
    }

    // A valid content path where no file is: opening it is a fatal error.
    std::filesystem::path missing(uint8_t n) const {
        FileId id;
        id.bytes.fill(n);
        return store_.path_of(id);
    }

    std::expected<std::vector<std::string>, VerifyError> run(const std::vector<std::filesystem::path>& paths,
                                                             uint64_t jobs,
                                                             const base::Hooks* hooks = nullptr,
                                                             MemoryBudget* shared = nullptr) {
        MemoryBudget own;
        MemoryBudget& budget = shared != nullptr ? *shared : own;
        store::ProgressTracker tracker(std::nullopt, paths.size(), {});
        ReportCollector collector;
        FileList files;
        for (const auto& path : paths) files.push_back(path);
        auto options = options_for(dir_.path(), 4096, jobs);
        options.hooks = hooks;
        auto done = verify_files(VerifyRun(options, budget, tracker), files, collector);
        if (!done) return std::unexpected(std::move(done.error()));
        EXPECT_EQ(collector.reports.size(), paths.size());
        return reports_text(files, collector.reports);
    }

    // The reports, or the fatal error's message.
    static std::vector<std::string> texts(
        const std::expected<std::vector<std::string>, VerifyError>& result) {
        if (!result) return {"fatal: " + result.error().message()};
        return *result;
    }

    static std::filesystem::path failed_path(
        const std::expected<std::vector<std::string>, VerifyError>& result) {
        if (result) return {};
        const auto* io = result.error().get_if<VerifyErrorKind::Io>();
        return io != nullptr ? io->path : std::filesystem::path{};
    }

    kro::testing::ScratchDir dir_;
    StoreBuilder store_{dir_.path()};
    int next_seed_ = 1;
};

TEST_F(ParallelScheduleTest, LargeFilesInTheTailGiveTheSameReports) {
    auto paths = small_files(9);
    const auto big = store_.add_chain(FormatVersion::V3, {6 * MiB + 1, 4 * MiB}, 90);
    const auto big_v2 = store_.add_chain(FormatVersion::V2, {5 * MiB + 2}, 95);
    overwrite(store_.path_of(big[0]), 5 * MiB, std::vector<uint8_t>(300000, 0));
    flip_bytes(store_.path_of(big_v2[0]), {2 * MiB + 4});
    for (const auto& id : {big[0], big[1], big_v2[0]}) paths.push_back(store_.path_of(id));
    const auto one = run(paths, 1);
    ASSERT_TRUE(one.has_value());
    for (uint64_t jobs : {2, 3, 4, 8, 16}) EXPECT_EQ(texts(run(paths, jobs)), *one) << "jobs " << jobs;
}

TEST_F(ParallelScheduleTest, LowestIndexedFatalErrorWinsForEveryBudget) {
    const auto base = small_files(12);
    // With 12 files and 8 jobs the head group is files 0-7 and the tail group files 8-11.
    const std::vector<std::pair<size_t, size_t>> placements = {{1, 5}, {3, 10}, {10, 11}, {0, 11}};
    for (const auto& [low, high] : placements) {
        auto paths = base;
        paths[low] = missing(1);
        paths[high] = missing(2);
        for (uint64_t jobs : {1, 2, 3, 8, 16, 256}) {
            EXPECT_EQ(failed_path(run(paths, jobs)), paths[low]) << low << "," << high << " jobs " << jobs;
        }
    }
}

// Records which items of a stage were reached.
struct ItemRecorder : base::Hooks {
    explicit ItemRecorder(base::StageName stage) : stage(stage) {}
    std::optional<base::IoError> before_item(base::StageName s, uint64_t index) const override {
        if (s != stage) return std::nullopt;
        const std::lock_guard lock(mutex);
        items.push_back(index);
        return std::nullopt;
    }

    base::StageName stage;
    mutable std::mutex mutex;
    mutable std::vector<uint64_t> items;
};

// An error that the hooks give a file of either group fails that file like a failed read; of two,
// the lower file's wins.
TEST_F(ParallelScheduleTest, AnErrorGivenToAFileFailsItAndTheLowestWins) {
    const auto paths = small_files(12);
    struct Case {
        base::StageName stage;
        uint64_t jobs;
        uint64_t low;
        uint64_t high;  // positions within the group
        size_t file;    // the file of `low`
    };
    // With 12 files and 4 jobs the head group is files 0-8; with 16 jobs every file is in the tail.
    for (const Case& c : {Case{verify::HEAD_WORKER, 4, 2, 6, 2}, Case{verify::TAIL_WORKER, 16, 3, 9, 3}}) {
        const TwoErrors errors(c.stage, c.low, c.high);
        const auto result = run(paths, c.jobs, &errors);
        ASSERT_FALSE(result.has_value()) << c.jobs;
        EXPECT_EQ(base::error_chain(result.error()), "reading a data file at " + paths[c.file].native() +
                                                         ": injected error at " + std::to_string(c.low))
            << c.jobs;
    }
}

TEST_F(ParallelScheduleTest, FatalHeadErrorStopsTheTailGroup) {
    auto paths = small_files(12);
    paths[2] = missing(3);
    const ItemRecorder tail(verify::TAIL_WORKER);
    EXPECT_EQ(failed_path(run(paths, 4, &tail)), paths[2]);  // head 0-8, tail 9-11
    EXPECT_TRUE(tail.items.empty());
}

TEST_F(ParallelScheduleTest, EveryTailFileIsVerifiedEvenWhenOneFails) {
    auto paths = small_files(6);
    paths[1] = missing(4);
    paths[4] = missing(5);
    const ItemRecorder tail(verify::TAIL_WORKER);
    EXPECT_EQ(failed_path(run(paths, 8, &tail)), paths[1]);
    std::sort(tail.items.begin(), tail.items.end());
    EXPECT_EQ(tail.items, (std::vector<uint64_t>{0, 1, 2, 3, 4, 5}));
}

TEST_F(ParallelScheduleTest, FaultsAreRaisedAfterTheWholeGroupEnded) {
    const auto paths = small_files(12);
    for (uint64_t jobs : {2, 8}) {
        const SlowAndFaulty head(verify::HEAD_WORKER, 0, 1);
        expect_injected_fault([&] { (void)run(paths, jobs, &head); });
        EXPECT_TRUE(head.slow_done.load()) << jobs;
    }
    const SlowAndFaulty tail(verify::TAIL_WORKER, 0, 3);
    expect_injected_fault([&] { (void)run(paths, 16, &tail); });
    EXPECT_TRUE(tail.slow_done.load());
}

TEST_F(ParallelScheduleTest, FaultWinsOverAFatalErrorOfTheSameGroup) {
    auto paths = small_files(12);
    paths[1] = missing(6);
    {
        // jobs 3: head files 0-9. File 1 fails only after file 4 has faulted.
        struct FaultBeforeError : base::Hooks {
            std::optional<base::IoError> before_item(base::StageName stage, uint64_t index) const override {
                if (stage != verify::HEAD_WORKER) return std::nullopt;
                if (index == 1) {
                    EXPECT_TRUE(wait_for(faulted));
                }
                if (index == 4) {
                    faulted = true;
                    base::panic("injected fault");
                }
                return std::nullopt;
            }
            mutable std::atomic<bool> faulted{false};
        };
        const FaultBeforeError hooks;
        expect_injected_fault([&] { (void)run(paths, 3, &hooks); });
    }
    {
        // jobs 16: every file is in the tail group, which has no stop signal.
        struct TailFault : base::Hooks {
            std::optional<base::IoError> before_item(base::StageName stage, uint64_t index) const override {
                if (stage == verify::TAIL_WORKER && index == 7) base::panic("injected fault");
                return std::nullopt;
            }
        };
        const TailFault hooks;
        expect_injected_fault([&] { (void)run(paths, 16, &hooks); });
    }
}

TEST_F(ParallelScheduleTest, ThreadsThatCannotStartDegrade) {
    auto paths = small_files(10);
    const auto big = store_.add_chain(FormatVersion::V3, {9 * MiB}, 99);
    flip_bytes(store_.path_of(big[0]), {3 * MiB});
    paths.push_back(store_.path_of(big[0]));
    const auto one = run(paths, 1);
    ASSERT_TRUE(one.has_value());
    struct Case {
        const char* name;
        uint64_t jobs;
        base::StageName stage;
        size_t fail_from;
    };
    const std::vector<Case> cases = {
        {"no head worker: the calling thread verifies the head files", 4, verify::HEAD_WORKER, 0},
        {"one head worker", 4, verify::HEAD_WORKER, 1},
        {"no tail thread: the calling thread verifies every tail file", 16, verify::TAIL_WORKER, 0},
        {"some tail threads", 16, verify::TAIL_WORKER, 5},
        {"no extra lane", 16, verify::V3_LANE, 0},
        {"no analysis worker", 16, verify::ANALYSIS_UNIT, 0},
    };
    for (const auto& c : cases) {
        const SpawnCounter counter(c.stage, c.fail_from);
        EXPECT_EQ(texts(run(paths, c.jobs, &counter)), *one) << c.name;
        EXPECT_GT(counter.attempts.load(), c.fail_from) << c.name;
    }
}

TEST_F(ParallelScheduleTest, TailFilesStartLargestFirst) {
    std::vector<std::filesystem::path> paths;
    for (const uint64_t length : {uint64_t{1000}, 3 * MiB, 2 * MiB, 3 * MiB, uint64_t{60}}) {
        paths.push_back(store_.path_of(
            store_.add(make_header(FormatVersion::V3, length, {}, static_cast<uint8_t>(length % 251)))));
    }
    // With no tail thread, the calling thread verifies the files in spawn order.
    struct WithoutTailThreads : ItemRecorder {
        using ItemRecorder::ItemRecorder;
        bool refuse_spawn(base::StageName s, size_t) const override { return s == verify::TAIL_WORKER; }
    };
    const WithoutTailThreads order(verify::TAIL_WORKER);
    ASSERT_TRUE(run(paths, 8, &order).has_value());
    EXPECT_EQ(order.items, (std::vector<uint64_t>{1, 3, 2, 0, 4}));
}

TEST_F(ParallelScheduleTest, NoThreadForOneJobOrNoFile) {
    struct AnySpawn : base::Hooks {
        bool refuse_spawn(base::StageName, size_t) const override {
            ++attempts;
            return false;
        }
        mutable std::atomic<size_t> attempts{0};
    };
    const AnySpawn hooks;
    EXPECT_TRUE(run(small_files(5), 1, &hooks).has_value());
    EXPECT_TRUE(run({}, 8, &hooks).has_value());
    EXPECT_EQ(hooks.attempts.load(), 0u);
}

TEST_F(ParallelScheduleTest, AnalysisMemoryIsBoundedAcrossTheRun) {
    std::vector<std::filesystem::path> paths;
    const auto ids = store_.add_chain(FormatVersion::V3, {10 * MiB, 10 * MiB + 5}, 100);
    const auto v2 = store_.add_chain(FormatVersion::V2, {10 * MiB + 9}, 110);
    for (const auto& id : {ids[0], ids[1], v2[0]}) {
        overwrite(store_.path_of(id), 9 * MiB, std::vector<uint8_t>(1000, 0));
        flip_bytes(store_.path_of(id), {100});
        paths.push_back(store_.path_of(id));
    }
    const auto one = run(paths, 1);
    ASSERT_TRUE(one.has_value());
    // Three files of two units each analysed at once; the budget holds one full unit at a time.
    MemoryBudget budget(20 * MiB);
    const ReservationCounter counter;
    EXPECT_EQ(texts(run(paths, 16, &counter, &budget)), *one);
    EXPECT_EQ(counter.grants.load(), 6u);
    EXPECT_LE(counter.peak.load(), 20 * static_cast<int64_t>(MiB));
    EXPECT_EQ(counter.now.load(), 0);
    EXPECT_EQ(budget.used(), 0u);
}

TEST_F(ParallelScheduleTest, OneLaneAnalysesCountAgainstTheRunBudget) {
    // Files below 4 MiB get one lane each: each analysis runs on its own thread with two 1 MiB
    // buffers, and the budget holds two such analyses at a time.
    std::vector<std::filesystem::path> paths;
    const auto ids = store_.add_chain(FormatVersion::V3, {3 * MiB, 3 * MiB + 7, 3 * MiB + 11}, 120);
    const auto v2 = store_.add_chain(FormatVersion::V2, {3 * MiB + 5}, 130);
    for (const auto& id : {ids[0], ids[1], ids[2], v2[0]}) {
        flip_bytes(store_.path_of(id), {2 * MiB + 100});
        paths.push_back(store_.path_of(id));
    }
    const auto one = run(paths, 1);
    ASSERT_TRUE(one.has_value());
    MemoryBudget budget(5 * MiB);
    const ReservationCounter counter;
    EXPECT_EQ(texts(run(paths, 8, &counter, &budget)), *one);
    EXPECT_EQ(counter.grants.load(), 4u);
    EXPECT_LE(counter.peak.load(), 5 * static_cast<int64_t>(MiB));
    EXPECT_EQ(counter.now.load(), 0);
    EXPECT_EQ(budget.used(), 0u);
}

}  // namespace
}  // namespace kro::verify
