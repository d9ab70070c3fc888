#include "verify/verify_file.hpp"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/vfs.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <mutex>

#include "base/errors/error.hpp"
#include "base/huge_page_area.hpp"
#include "parallel_fixture.hpp"
#include "support/scratch_dir.hpp"
#include "verify/verify_store.hpp"
#include "verify_fixture.hpp"

namespace kro::verify {
namespace {

namespace fs = std::filesystem;
using format::FileId;
using format::FormatVersion;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace kro::verify_testing;

constexpr uint64_t MiB = 1048576;

// True where memory is the storage of `dir`'s file system (tmpfs, ramfs).
bool is_memory_file_system(const fs::path& dir) {
    struct statfs st {};
    return ::statfs(dir.c_str(), &st) == 0 && (st.f_type == TMPFS_MAGIC || st.f_type == RAMFS_MAGIC);
}

TEST(VerifyFileCanonicalTest, ComponentWiseComparison) {
    FileId id;
    for (size_t i = 0; i < id.bytes.size(); ++i) id.bytes[i] = static_cast<uint8_t>(0x10 + i);
    const std::string shard = id.shard_path().native();
    std::string upper = shard;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    struct Case {
        fs::path root, path;
        bool canonical;
    };
    const std::vector<Case> cases = {
        {"/s", "/s/" + shard, true},    {"/s/", "/s/" + shard, true},        {"s", "s//" + shard, true},
        {"./s", "./s/" + shard, true},  {"/s", "/s/./" + shard, true},       {"/", "/" + shard, true},
        {"/s", "/s/" + upper, false},   {"/s", "/s/x/" + shard, false},      {"/s", "/t/" + shard, false},
        {"/s/t", "/s/" + shard, false}, {"/s", "/s/" + shard + "/x", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(is_canonical_path(c.root, c.path, id), c.canonical) << c.root << " " << c.path;
    }
}

// Records every snapshot the verifier sends.
struct Recorder {
    std::mutex mutex;
    std::vector<store::ProgressSnapshot> snapshots;

    store::ProgressObserver observer() {
        return store::make_progress_observer([this](const store::ProgressSnapshot& s) {
            const std::lock_guard lock(mutex);
            snapshots.push_back(s);
        });
    }
};

class VerifyFileTest : public ::testing::Test {
  protected:
    VerifyFileTest() : store_(dir_.path()) {}

    std::expected<FileReport, VerifyError> verify(const fs::path& path, uint64_t lane_budget = 1,
                                                  const base::Hooks* hooks = nullptr) {
        store::ProgressTracker tracker(std::nullopt, std::nullopt, nullptr);
        MemoryBudget budget;
        auto options = options_for(dir_.path());
        options.hooks = hooks;
        return verify_file(VerifyRun(options, budget, tracker), path, lane_budget, scratch_);
    }

    kro::testing::ScratchDir dir_;
    StoreBuilder store_;
    WorkerScratch scratch_;
};

TEST_F(VerifyFileTest, SoundFilesReportVersionAndParent) {
    const FileId first = store_.add(make_header(FormatVersion::V2, 1000));
    const FileId second = store_.add(make_header(FormatVersion::V3, 60, first, 2));
    auto root_report = verify(store_.path_of(first));
    ASSERT_TRUE(root_report.has_value());
    EXPECT_THAT(root_report->issues, IsEmpty());
    EXPECT_EQ(root_report->file_id, first);
    EXPECT_TRUE(root_report->at_canonical_path);
    EXPECT_EQ(root_report->parent, std::nullopt);
    EXPECT_EQ(root_report->version, FormatVersion::V2);

    // A 60-byte v3 file: one block, nothing to compare.
    auto child_report = verify(store_.path_of(second));
    ASSERT_TRUE(child_report.has_value());
    EXPECT_THAT(child_report->issues, IsEmpty());
    EXPECT_EQ(child_report->parent, first);
    EXPECT_EQ(child_report->version, FormatVersion::V3);
}

TEST_F(VerifyFileTest, NonContentPath) {
    write_file(dir_ / "ab" / "cd" / "e" / std::string(34, 'a'), std::vector<uint8_t>(100, 1));
    auto report = verify(dir_ / "ab" / "cd" / "e" / std::string(34, 'a'));
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(report->file_id, std::nullopt);
    EXPECT_FALSE(report->at_canonical_path);
    EXPECT_EQ(report->version, std::nullopt);
    EXPECT_THAT(describe(report->issues, dir_.path()),
                ElementsAre("InvalidPathLayout ab/cd/e/" + std::string(34, 'a')));
    // Not a content path, so it is never opened: even a missing file is only a finding.
    EXPECT_TRUE(verify(dir_ / "missing").has_value());
}

TEST_F(VerifyFileTest, LongerThanDeclaredV2) {
    const auto header = make_header(FormatVersion::V2, 1000);
    auto bytes = file_bytes(header);
    bytes.resize(1200, 0xEE);
    const FileId id = store_.add(make_header(FormatVersion::V2, 1000));
    write_file(store_.path_of(id), bytes);
    auto report = verify(store_.path_of(id));
    ASSERT_TRUE(report.has_value());
    EXPECT_THAT(describe(report->issues, dir_.path()),
                ElementsAre("FileSizeMismatch " + id.shard_path().native() + " expected=1000 actual=1200",
                            "ContentCorrupted " + id.shard_path().native() +
                                " expected_len=1000 actual_len=1200 v3=false ids=differ "
                                "regions=[ExtraBytes(200)@1000+200]"));
    const auto& corrupted = std::get<Issue::ContentCorrupted>(report->issues[1].value).report;
    EXPECT_EQ(corrupted.seed, header.seed());
    EXPECT_EQ(corrupted.expected_id, id);
    EXPECT_EQ(corrupted.actual_id, id_of(bytes, FormatVersion::V2));
}

TEST_F(VerifyFileTest, V3BytesPastTheDeclaredLengthOnlyEnterTheId) {
    // Declared 100, holds 150, stored under the ID of all 150 bytes: only the size is wrong.
    auto bytes = file_bytes(make_header(FormatVersion::V3, 150));
    const auto encoded = make_header(FormatVersion::V3, 100).encode();
    std::copy(encoded.begin(), encoded.end(), bytes.begin());
    std::fill(bytes.begin() + 100, bytes.end(), 0xCC);
    const FileId id = id_of(bytes, FormatVersion::V3);
    write_file(store_.path_of(id), bytes);
    auto report = verify(store_.path_of(id));
    ASSERT_TRUE(report.has_value());
    EXPECT_THAT(describe(report->issues, dir_.path()),
                ElementsAre("FileSizeMismatch " + id.shard_path().native() + " expected=100 actual=150"));
}

TEST_F(VerifyFileTest, LaneBudgetDoesNotChangeTheReport) {
    const FileId id = store_.add(make_header(FormatVersion::V3, 4 * MiB + 3));
    fill_range(store_.path_of(id), 3 * MiB, 3 * MiB + 10000, 0);
    const FileId v2 = store_.add(make_header(FormatVersion::V2, 4 * MiB + 3, {}, 4));
    flip_bytes(store_.path_of(v2), {4 * MiB});
    for (const FileId& file : {id, v2}) {
        auto one = verify(store_.path_of(file), 1);
        auto eight = verify(store_.path_of(file), 8);
        ASSERT_TRUE(one.has_value() && eight.has_value());
        EXPECT_EQ(describe(one->issues, dir_.path()), describe(eight->issues, dir_.path()));
        EXPECT_EQ(one->issues.size(), 1u);
    }
}

TEST_F(VerifyFileTest, ShrinkingWhileAnalysedIsNeverValidContent) {
    // Sound content under another file's name goes to the analysis, which finds the file shorter
    // than its metadata said: the lost bytes are missing, the file is no "path mismatch".
    const FileId id = store_.add(make_header(FormatVersion::V3, 5 * MiB));
    FileId other = id;
    other.bytes[19] ^= 1;
    fs::create_directories(store_.path_of(other).parent_path());
    fs::rename(store_.path_of(id), store_.path_of(other));
    for (uint64_t lane_budget : {1, 8}) {
        // It shrinks once its header and its five blocks were read for the file ID.
        const parallel_testing::ShrinkingTo shrunk(3 * MiB, 6);
        auto options = options_for(dir_.path());
        options.hooks = &shrunk;
        store::ProgressTracker tracker(std::nullopt, std::nullopt, nullptr);
        MemoryBudget budget;
        auto report =
            verify_file(VerifyRun(options, budget, tracker), store_.path_of(other), lane_budget, scratch_);
        ASSERT_TRUE(report.has_value());
        EXPECT_THAT(describe(report->issues, dir_.path()),
                    ElementsAre("ContentCorrupted " + other.shard_path().native() +
                                " expected_len=5242880 actual_len=5242880 v3=true ids=differ "
                                "regions=[Truncated(2097152)@3145728+2097152]"))
            << lane_budget;
        const auto& corrupted = std::get<Issue::ContentCorrupted>(report->issues.at(0).value).report;
        EXPECT_FALSE(corrupted.is_intact());
    }
}

// The n-th positional read (from 1) returns nothing, as a read does when the file has just
// been cut short; every other read goes to the file.
struct EmptyReadAt : base::Hooks {
    explicit EmptyReadAt(int call) : call(call) {}
    ssize_t pread(int fd, void* buf, size_t count, uint64_t offset) const override {
        if (++calls == call) return 0;
        return ::pread(fd, buf, count, static_cast<off_t>(offset));
    }
    int call;
    mutable std::atomic<int> calls{0};
};

TEST_F(VerifyFileTest, AReadThatEndsEarlyIsAFileThatChanged) {
    // Sound files whose reads end before the length their metadata gave: never a finding about
    // bytes that were there, never "content valid".
    struct Case {
        const char* name;
        FormatVersion version;
        int empty_call;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"v2 header", FormatVersion::V2, 1,
         "reading a data-file header at {}: file changed while it was being read"},
        {"v3 header", FormatVersion::V3, 1,
         "reading a data-file header at {}: file changed while it was being read"},
        {"v2 body", FormatVersion::V2, 2,
         "reading a data file at {}: v2 file changed while it was being read"},
        {"v2 second body block", FormatVersion::V2, 3,
         "reading a data file at {}: v2 file changed while it was being read"},
    };
    for (const Case& c : cases) {
        const FileId id =
            store_.add(make_header(c.version, 3 * MiB + 7, {}, static_cast<uint8_t>(c.empty_call)));
        const EmptyReadAt empty(c.empty_call);
        auto options = options_for(dir_.path());
        options.hooks = &empty;
        store::ProgressTracker tracker(std::nullopt, std::nullopt, nullptr);
        MemoryBudget budget;
        auto report = verify_file(VerifyRun(options, budget, tracker), store_.path_of(id), 1, scratch_);
        ASSERT_FALSE(report.has_value()) << c.name;
        EXPECT_EQ(base::error_chain(report.error()),
                  fmt::format(fmt::runtime(c.error), store_.path_of(id).native()))
            << c.name;
        fs::remove(store_.path_of(id));
    }
}

// Positional reads that fail with EIO where `fails` says so, and go to the file otherwise.
struct FailingReads : base::Hooks {
    explicit FailingReads(std::function<bool(uint64_t offset)> fails) : fails(std::move(fails)) {}
    ssize_t pread(int fd, void* buf, size_t count, uint64_t offset) const override {
        ++calls;
        if (fails(offset)) {
            errno = EIO;
            return -1;
        }
        return ::pread(fd, buf, count, static_cast<off_t>(offset));
    }
    std::function<bool(uint64_t)> fails;
    mutable std::atomic<int> calls{0};
};

TEST_F(VerifyFileTest, EveryContentReadGoesThroughTheHooks) {
    // Every way a file's content is read, each failing the file with its step's action: the file
    // ID on one lane and on several, and the analysis of a damaged file on one thread and on
    // several (its reads start at the first content byte, the check's at block boundaries).
    const auto body = [](uint64_t offset) { return offset > 0; };
    const auto first_content_byte = [](uint64_t offset) { return offset == 60; };
    struct Case {
        const char* name;
        FormatVersion version;
        uint64_t lane_budget;
        bool damaged;
        std::function<bool(uint64_t)> fails;
        const char* error;
    };
    const std::vector<Case> cases = {
        {"v2, one lane", FormatVersion::V2, 1, false, body, "reading a data file"},
        {"v2, reader threads", FormatVersion::V2, 3, false, body, "reading a data file"},
        {"v3, one lane", FormatVersion::V3, 1, false, body, "reading a data file"},
        {"v3, lanes", FormatVersion::V3, 3, false, body, "reading a data file"},
        {"analysis, one thread", FormatVersion::V3, 1, true, first_content_byte,
         "analyzing a corrupted file"},
        {"analysis, units", FormatVersion::V3, 3, true, first_content_byte, "analyzing a corrupted file"},
    };
    uint8_t seed = 20;
    for (const Case& c : cases) {
        const FileId id = store_.add(make_header(c.version, 7 * MiB, {}, seed++));
        if (c.damaged) flip_bytes(store_.path_of(id), {5 * MiB});
        const FailingReads failing(c.fails);
        auto report = verify(store_.path_of(id), c.lane_budget, &failing);
        ASSERT_FALSE(report.has_value()) << c.name;
        EXPECT_EQ(base::error_chain(report.error()),
                  fmt::format("{} at {}: Input/output error", c.error, store_.path_of(id).native()))
            << c.name;
        EXPECT_GT(failing.calls.load(), 1) << c.name;
    }
}

// Advice to the page cache that the file system refuses, all of it: every report is the one a
// file system that takes it gives.
struct RefusedAdvice : base::Hooks {
    int fadvise(int, uint64_t, uint64_t, int) const override {
        ++calls;
        return EINVAL;
    }
    mutable std::atomic<int> calls{0};
};

TEST_F(VerifyFileTest, RefusedCacheAdviceChangesNoReport) {
    const FileId v3 = store_.add(make_header(FormatVersion::V3, 9 * MiB + 7, {}, 30));
    const FileId v2 = store_.add(make_header(FormatVersion::V2, 9 * MiB + 7, {}, 31));
    const FileId damaged = store_.add(make_header(FormatVersion::V3, 9 * MiB + 7, {}, 32));
    fill_range(store_.path_of(damaged), 2 * MiB, 2 * MiB + 70000, 0);
    flip_bytes(store_.path_of(damaged), {7 * MiB + 1});
    for (const FileId& id : {v3, v2, damaged}) {
        for (uint64_t lane_budget : {1, 4}) {
            auto taken = verify(store_.path_of(id), lane_budget);
            const RefusedAdvice refused;
            auto refusing = verify(store_.path_of(id), lane_budget, &refused);
            ASSERT_TRUE(taken.has_value() && refusing.has_value()) << lane_budget;
            EXPECT_EQ(describe(refusing->issues, dir_.path()), describe(taken->issues, dir_.path()))
                << lane_budget;
        }
    }
}

// A file system that refuses direct reads where it took the switch to them: every direct read
// fails with EINVAL, as some do only at the first read.
struct RefusedDirectReads : base::Hooks {
    ssize_t pread(int fd, void* buf, size_t count, uint64_t offset) const override {
        if ((::fcntl(fd, F_GETFL) & O_DIRECT) != 0) {
            ++refused;
            errno = EINVAL;
            return -1;
        }
        return ::pread(fd, buf, count, static_cast<off_t>(offset));
    }
    mutable std::atomic<int> refused{0};
};

TEST_F(VerifyFileTest, RefusedDirectReadsAreReadThroughThePageCache) {
    const FileId sound = store_.add(make_header(FormatVersion::V3, 9 * MiB + 7, {}, 40));
    const FileId damaged = store_.add(make_header(FormatVersion::V3, 9 * MiB + 7, {}, 41));
    fill_range(store_.path_of(damaged), 5 * MiB - 100, 5 * MiB + 3000, 0);
    const FileId shrunk = store_.add(make_header(FormatVersion::V3, 9 * MiB + 7, {}, 42));
    truncate_file(store_.path_of(shrunk), 4 * MiB + 1);
    int refused = 0;
    for (const FileId& id : {sound, damaged, shrunk}) {
        for (uint64_t lane_budget : {1, 4}) {
            auto plain = verify(store_.path_of(id), lane_budget);
            const RefusedDirectReads refusing;
            auto report = verify(store_.path_of(id), lane_budget, &refusing);
            ASSERT_TRUE(plain.has_value() && report.has_value()) << lane_budget;
            EXPECT_EQ(describe(report->issues, dir_.path()), describe(plain->issues, dir_.path()))
                << lane_budget;
            refused += refusing.refused.load();
        }
    }
    if (is_memory_file_system(dir_.path()) || !base::lends_huge_pages()) {
        GTEST_SKIP() << "skipped: files here are not read directly (a memory file system, or no huge pages)";
    }
    EXPECT_GT(refused, 0) << "no direct read was tried";
}

TEST_F(VerifyFileTest, HeaderTooShortAndInvalid) {
    const FileId id = store_.add(make_header(FormatVersion::V3, 500));
    truncate_file(store_.path_of(id), 59);
    auto report = verify(store_.path_of(id));
    ASSERT_TRUE(report.has_value());
    EXPECT_THAT(describe(report->issues, dir_.path()),
                ElementsAre("HeaderCorrupted " + id.shard_path().native() +
                            ": header truncated: need 60 bytes, got 59"));
    EXPECT_EQ(report->file_id, id);
    EXPECT_TRUE(report->at_canonical_path);
    EXPECT_EQ(report->parent, std::nullopt);
    EXPECT_EQ(report->version, std::nullopt);
}

TEST_F(VerifyFileTest, ProgressCountsEveryFileOnce) {
    // Sound, damaged, truncated, a bad header and a stray file: every byte and file counts once.
    const auto ids = store_.add_chain(FormatVersion::V3, {100, 2 * MiB + 5, 70000});
    const FileId v2 = store_.add(make_header(FormatVersion::V2, MiB + 1, {}, 9));
    store_.write_aggregate();
    flip_bytes(store_.path_of(ids[1]), {MiB + 3});
    truncate_file(store_.path_of(ids[2]), 40000);
    flip_bytes(store_.path_of(v2), {40});
    write_file(dir_ / "stray", std::vector<uint8_t>(33, 1));
    uint64_t total = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir_.path())) {
        if (entry.is_regular_file() && entry.path().native().find(".metadata") == std::string::npos) {
            total += entry.file_size();
        }
    }

    Recorder recorder;
    auto options = options_for(dir_.path());
    options.progress = recorder.observer();
    auto report = verify_store(options);
    ASSERT_TRUE(report.has_value()) << base::error_chain(report.error());
    ASSERT_FALSE(recorder.snapshots.empty());
    const store::ProgressSnapshot& first = recorder.snapshots.front();
    EXPECT_EQ(first, (store::ProgressSnapshot{total, 5, 0, 0}));
    EXPECT_EQ(recorder.snapshots.back(), (store::ProgressSnapshot{total, 5, total, 5}));
    for (size_t i = 1; i < recorder.snapshots.size(); ++i) {
        EXPECT_GE(recorder.snapshots[i].bytes_done, recorder.snapshots[i - 1].bytes_done);
    }
}

TEST_F(VerifyFileTest, NoObserverCountsNothing) {
    store_.add_chain(FormatVersion::V2, {100, 200});
    store_.write_aggregate();
    store::ProgressTracker tracker(std::nullopt, std::nullopt, nullptr);
    MemoryBudget budget;
    const auto options = options_for(dir_.path());
    const VerifyRun run(options, budget, tracker);
    for (const auto& entry : fs::recursive_directory_iterator(dir_.path())) {
        if (!entry.is_regular_file() || entry.path().native().find(".metadata") != std::string::npos)
            continue;
        ASSERT_TRUE(verify_file(run, entry.path(), 1, scratch_).has_value());
    }
    EXPECT_EQ(tracker.bytes_done(), 0u);
    EXPECT_EQ(tracker.files_done(), 0u);
}

}  // namespace
}  // namespace kro::verify
