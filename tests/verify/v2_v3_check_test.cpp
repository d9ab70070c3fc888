#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "data_file_fixture.hpp"
#include "parallel_fixture.hpp"
#include "support/scratch_dir.hpp"
#include "verify/v2_check.hpp"
#include "verify/v3_check.hpp"
#include "verify_fixture.hpp"

namespace kro::verify {
namespace {

using format::FileId;
using format::FormatVersion;
using format::Header;
using namespace kro::verify_testing;
using namespace kro::parallel_testing;

class ParallelHashTest : public ::testing::Test {
  protected:
    // A sound file with `header`, written to a fresh path.
    std::filesystem::path write(const Header& header) {
        const auto path = dir_ / fmt::format("file{}", count_++);
        write_file(path, file_bytes(header));
        return path;
    }

    static std::expected<V3FileCheck, base::IoError> v3(const std::filesystem::path& path,
                                                        const Header& header, uint64_t lanes,
                                                        const base::Hooks* hooks = nullptr,
                                                        std::optional<uint64_t> length = std::nullopt) {
        const CheckedFile file(path, header, {.lanes = lanes, .hooks = hooks, .length = length});
        return verify_v3_file(file.reader());
    }

    // The v2 check over `lanes` (at least 2) lanes.
    static std::expected<FileId, base::IoError> v2(const std::filesystem::path& path, uint64_t lanes,
                                                   const base::Hooks* hooks = nullptr,
                                                   std::optional<uint64_t> length = std::nullopt) {
        const CheckedFile file(path, make_header(FormatVersion::V2, 60),
                               {.lanes = lanes, .hooks = hooks, .length = length});
        return hash_v2_file(file.reader());
    }

    kro::testing::ScratchDir dir_;
    int count_ = 0;
};

TEST_F(ParallelHashTest, V3SameIdAndVerdictForEveryLaneCount) {
    struct Case {
        const char* name;
        uint64_t declared;
        std::function<void(const std::filesystem::path&)> damage;
        bool content_ok;
    };
    const std::vector<Case> cases = {
        {"header only", 60, [](const auto&) {}, true},
        {"declared 100, holds 150", 100, [](const auto& p) { append(p, std::vector<uint8_t>(50, 7)); }, true},
        {"3 MiB + 1, sound", 3 * MiB + 1, [](const auto&) {}, true},
        {"5 MiB, block 2 and the last byte damaged", 5 * MiB,
         [](const auto& p) {
             flip_bytes(p, {2 * MiB + 17, 5 * MiB - 1});
         },
         false},
        {"6 MiB, header block damaged", 6 * MiB, [](const auto& p) { flip_bytes(p, {100}); }, false},
        {"4 MiB, truncated into block 3", 4 * MiB, [](const auto& p) { truncate_file(p, 3 * MiB + 5); },
         true},
    };
    for (const auto& c : cases) {
        const Header header = make_header(FormatVersion::V3, c.declared);
        const auto path = write(header);
        c.damage(path);
        const FileId truth = id_of(read_file(path), FormatVersion::V3);
        for (uint64_t lanes : {1, 2, 3, 8, 16}) {
            const auto checked = v3(path, header, lanes);
            ASSERT_TRUE(checked.has_value())
                << c.name << " lanes " << lanes << ": " << checked.error().message();
            EXPECT_EQ(checked->id, truth) << c.name << " lanes " << lanes;
            EXPECT_EQ(checked->content_ok, c.content_ok) << c.name << " lanes " << lanes;
        }
    }
}

TEST_F(ParallelHashTest, V3LanesAreCappedAtTheBlockCount) {
    const Header header = make_header(FormatVersion::V3, 3 * MiB + 1);
    const auto path = write(header);
    const SpawnCounter counter(verify::V3_LANE);
    ASSERT_TRUE(v3(path, header, 8, &counter).has_value());
    EXPECT_EQ(counter.attempts.load(), 3u);  // four blocks: the calling thread and three more lanes
}

TEST_F(ParallelHashTest, V3LanesThatCannotStartLeaveTheirBlocksToTheOthers) {
    const Header header = make_header(FormatVersion::V3, 6 * MiB + 3);
    const auto path = write(header);
    flip_bytes(path, {4 * MiB + 1});
    const FileId truth = id_of(read_file(path), FormatVersion::V3);
    for (size_t fail_from : {0, 1, 3}) {
        const SpawnCounter counter(verify::V3_LANE, fail_from);
        const auto checked = v3(path, header, 8, &counter);
        ASSERT_TRUE(checked.has_value()) << fail_from;
        EXPECT_EQ(checked->id, truth) << fail_from;
        EXPECT_FALSE(checked->content_ok) << fail_from;
        EXPECT_EQ(counter.attempts.load(), fail_from + 1) << "no start is tried after the first failure";
    }
}

TEST_F(ParallelHashTest, V3FileThatShrankWhileReadIsAnError) {
    const Header header = make_header(FormatVersion::V3, 4 * MiB);
    const auto path = write(header);
    const auto checked = v3(path, header, 4, nullptr, 5 * MiB);
    ASSERT_FALSE(checked.has_value());
    EXPECT_EQ(checked.error().message(), "v3 file changed while it was being read");
    EXPECT_EQ(v3(path, header, 4, nullptr, 59).error().message(), "a v3 file is shorter than its header");
}

TEST_F(ParallelHashTest, LowestFailingBlockWins) {
    const Header v3_header = make_header(FormatVersion::V3, 8 * MiB);
    const auto v3_path = write(v3_header);
    const auto v2_path = write(make_header(FormatVersion::V2, 8 * MiB));
    for (int round = 0; round < 5; ++round) {
        const TwoErrors v3_errors(verify::V3_LANE, 3, 5);
        const auto checked = v3(v3_path, v3_header, 4, &v3_errors);
        ASSERT_FALSE(checked.has_value());
        EXPECT_EQ(checked.error().message(), "injected error at 3");

        const TwoErrors v2_errors(verify::V2_READER, 3, 5);
        const auto id = v2(v2_path, 4, &v2_errors);
        ASSERT_FALSE(id.has_value());
        EXPECT_EQ(id.error().message(), "injected error at 3");
    }
}

// Block 0 fails, by an error or a fault, once block 1 has been claimed by the other lane; block
// 1 goes on only after block 0 has failed. No lane claims a block after that: of the eight
// blocks, two were ever started.
TEST_F(ParallelHashTest, V3LanesClaimNoBlockOnceOneFailed) {
    struct FirstBlockFails : base::Hooks {
        explicit FirstBlockFails(bool fault) : fault(fault) {}
        std::optional<base::IoError> before_item(base::StageName stage, uint64_t index) const override {
            EXPECT_EQ(stage, verify::V3_LANE);
            ++started;
            if (index == 1) {
                claimed_second = true;
                EXPECT_TRUE(wait_for(failed));
                // The failing lane has only to return from this hook to raise its stop.
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            if (index != 0) return std::nullopt;
            EXPECT_TRUE(wait_for(claimed_second));
            failed = true;
            if (fault) base::panic("injected fault");
            return injected_error(0);
        }
        bool fault;
        mutable std::atomic<bool> claimed_second{false};
        mutable std::atomic<bool> failed{false};
        mutable std::atomic<int> started{0};
    };
    const Header header = make_header(FormatVersion::V3, 8 * MiB);
    const auto path = write(header);
    for (const bool fault : {false, true}) {
        const FirstBlockFails hooks(fault);
        if (fault) {
            expect_injected_fault([&] { (void)v3(path, header, 2, &hooks); });
        } else {
            const auto checked = v3(path, header, 2, &hooks);
            ASSERT_FALSE(checked.has_value());
            EXPECT_EQ(checked.error().message(), "injected error at 0");
        }
        EXPECT_EQ(hooks.started.load(), 2) << (fault ? "fault" : "error");
    }
}

TEST_F(ParallelHashTest, FaultIsRaisedAfterEveryLaneEnded) {
    const Header v3_header = make_header(FormatVersion::V3, 6 * MiB);
    const auto v3_path = write(v3_header);
    const auto v2_path = write(make_header(FormatVersion::V2, 6 * MiB));
    {
        const SlowAndFaulty fault(verify::V3_LANE, 0, 1);
        expect_injected_fault([&] { (void)v3(v3_path, v3_header, 3, &fault); });
        EXPECT_TRUE(fault.slow_done.load());
    }
    {
        const SlowAndFaulty fault(verify::V2_READER, 0, 1);
        expect_injected_fault([&] { (void)v2(v2_path, 3, &fault); });
        EXPECT_TRUE(fault.slow_done.load());
    }
}

TEST_F(ParallelHashTest, FaultWinsOverAnError) {
    const Header v3_header = make_header(FormatVersion::V3, 6 * MiB);
    const auto v3_path = write(v3_header);
    const auto v2_path = write(make_header(FormatVersion::V2, 6 * MiB));
    const FaultAfterError v3_fault(verify::V3_LANE, 1, 2);
    expect_injected_fault([&] { (void)v3(v3_path, v3_header, 3, &v3_fault); });
    const FaultAfterError v2_fault(verify::V2_READER, 1, 2);
    expect_injected_fault([&] { (void)v2(v2_path, 4, &v2_fault); });
}

TEST_F(ParallelHashTest, V2SameIdForEveryLaneCount) {
    struct Case {
        const char* name;
        uint64_t declared;
        std::function<void(const std::filesystem::path&)> damage;
    };
    const std::vector<Case> cases = {
        {"header only", 60, [](const auto&) {}},
        {"5 MiB, sound", 5 * MiB, [](const auto&) {}},
        {"5 MiB, damaged in two blocks", 5 * MiB,
         [](const auto& p) {
             flip_bytes(p, {61, 4 * MiB + 3});
         }},
        {"one body byte", 61, [](const auto&) {}},
        {"3 MiB, extra bytes", 3 * MiB, [](const auto& p) { append(p, std::vector<uint8_t>(1000, 1)); }},
    };
    for (const auto& c : cases) {
        const auto path = write(make_header(FormatVersion::V2, c.declared));
        c.damage(path);
        const FileId truth = id_of(read_file(path), FormatVersion::V2);
        for (uint64_t lanes : {2, 3, 16}) {
            const auto id = v2(path, lanes);
            ASSERT_TRUE(id.has_value()) << c.name << " lanes " << lanes;
            EXPECT_EQ(*id, truth) << c.name << " lanes " << lanes;
        }
    }
}

TEST_F(ParallelHashTest, V2ShortBlocksAreAFileThatChanged) {
    const auto path = write(make_header(FormatVersion::V2, 3 * MiB + 10));
    // The metadata claimed two more blocks than the file holds now: what was read says nothing
    // about what is stored, with readers and without.
    for (size_t fail_from : {SIZE_MAX, size_t{0}}) {
        const SpawnCounter counter(verify::V2_READER, fail_from);
        const auto id = v2(path, 4, &counter, 5 * MiB);
        ASSERT_FALSE(id.has_value()) << fail_from;
        EXPECT_EQ(id.error().message(), "v2 file changed while it was being read") << fail_from;
    }
}

TEST_F(ParallelHashTest, V2ReadPlanBoundsTheBuffers) {
    // A 5 MiB file with two lanes: a body of 5242820 bytes in 5 blocks, one reader, 4 buffers.
    EXPECT_EQ(plan_v2_read(60, 5242880, 2), (V2ReadPlan{60, 5242820, 5, 1, 4}));
    EXPECT_EQ(plan_v2_read(60, 5242880, 16), (V2ReadPlan{60, 5242820, 5, 5, 5}));
    EXPECT_EQ(plan_v2_read(60, 64 * MiB + 60, 4), (V2ReadPlan{60, 64 * MiB, 64, 3, 12}));
    EXPECT_EQ(plan_v2_read(60, 60, 8), (V2ReadPlan{60, 0, 0, 0, 0}));
}

TEST_F(ParallelHashTest, V2ReadersThatCannotStart) {
    const auto path = write(make_header(FormatVersion::V2, 6 * MiB + 9));
    flip_bytes(path, {3 * MiB});
    const FileId truth = id_of(read_file(path), FormatVersion::V2);
    // 0: no reader at all, the calling thread hashes the body in order; otherwise fewer readers.
    for (size_t fail_from : {0, 1, 2}) {
        const SpawnCounter counter(verify::V2_READER, fail_from);
        const auto id = v2(path, 8, &counter);
        ASSERT_TRUE(id.has_value()) << fail_from;
        EXPECT_EQ(*id, truth) << fail_from;
        EXPECT_EQ(counter.attempts.load(), fail_from + 1);
    }
}

TEST_F(ParallelHashTest, V2SequentialFallbackReportsReadErrors) {
    const Header header = make_header(FormatVersion::V2, 2 * MiB);
    const auto path = write(header);
    // No reader starts: the calling thread reads the body itself, and every read fails.
    const SpawnCounter counter(verify::V2_READER, 0);
    const CheckedFile file(path, header, {.lanes = 2, .hooks = &counter, .open_flags = O_WRONLY});
    const auto id = hash_v2_file(file.reader());
    ASSERT_FALSE(id.has_value());
    EXPECT_EQ(id.error().code(), EBADF);
    EXPECT_EQ(counter.attempts.load(), 1u);
}

TEST_F(ParallelHashTest, ProgressCountsEveryBodyByteOnce) {
    const Header header = make_header(FormatVersion::V3, 7 * MiB + 5);
    const auto v3_path = write(header);
    const auto v2_path = write(make_header(FormatVersion::V2, 7 * MiB + 5));
    std::atomic<uint64_t> notified{0};
    store::ProgressTracker tracker(
        std::nullopt, std::nullopt,
        store::make_progress_observer([&](const store::ProgressSnapshot&) { ++notified; }));
    // The header counts when it is read, every body byte when its block is checked.
    {
        const CheckedFile file(v3_path, header, {.lanes = 8, .tracker = &tracker});
        ASSERT_TRUE(verify_v3_file(file.reader()).has_value());
        EXPECT_EQ(file.reader().progress().reported(), 7 * MiB + 5);
    }
    {
        const CheckedFile file(v2_path, make_header(FormatVersion::V2, 7 * MiB + 5),
                               {.lanes = 8, .tracker = &tracker});
        ASSERT_TRUE(hash_v2_file(file.reader()).has_value());
        EXPECT_EQ(file.reader().progress().reported(), 7 * MiB + 5);
    }
    EXPECT_EQ(tracker.bytes_done(), 2 * (7 * MiB + 5));
    EXPECT_GT(notified.load(), 0u);
}

TEST(ParallelHashInvariantTest, LaneCountsTheCallersGuarantee) {
    kro::testing::ScratchDir dir;
    const Header header = make_header(FormatVersion::V3, 60);
    write_file(dir / "file", file_bytes(header));
    const CheckedFile file(dir / "file", header, {.lanes = 0});
    EXPECT_THROW((void)verify_v3_file(file.reader()), base::Panic);
    EXPECT_THROW((void)hash_v2_file(file.reader()), base::Panic);
    EXPECT_THROW((void)plan_v2_read(60, 120, 1), base::Panic);
}

}  // namespace
}  // namespace kro::verify
