#include "gen/parallel_write.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <limits>

#include "base/errors/panic.hpp"
#include "base/fs/directory.hpp"
#include "gen/store_recheck.hpp"
#include "gen/write_faults.hpp"
#include "store/snapshot_recorder.hpp"
#include "support/scratch_dir.hpp"

namespace kro::gen {
namespace {

namespace fs = std::filesystem;
using format::FILE_BLOCK_SIZE;
using format::FormatVersion;

format::Header header_of(uint64_t length, FormatVersion version) {
    format::FileId parent;
    parent.bytes[0] = 0x42;
    format::ContentSeed seed;
    for (size_t i = 0; i < seed.bytes.size(); ++i) seed.bytes[i] = static_cast<uint8_t>(i * 7 + length);
    return format::Header::make(parent, seed, length, version).value();
}

// One file through a writer of its own.
std::expected<format::FileId, GenerateError> write_content_parallel(const base::TempFile& temp,
                                                                    const format::Header& header, size_t jobs,
                                                                    size_t writers,
                                                                    store::ProgressTracker& progress,
                                                                    const base::Hooks* hooks = nullptr) {
    return ParallelContentWriter(jobs, writers, hooks).write(temp, header, progress);
}

size_t entries_in(const fs::path& dir) {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

TEST(ParallelWriteTest, FilesAndIdsEqualTheFormatForEveryThreadCount) {
    // B = 2, the B = 2 x jobs boundary for 2 jobs, a 1-byte last block, and a short last block.
    const uint64_t lengths[] = {2 * FILE_BLOCK_SIZE, 4 * FILE_BLOCK_SIZE, 4 * FILE_BLOCK_SIZE + 1,
                                3 * FILE_BLOCK_SIZE + 100};
    for (const auto version : {FormatVersion::V2, FormatVersion::V3}) {
        for (const uint64_t length : lengths) {
            const auto header = header_of(length, version);
            const auto expected = testing::expected_file_bytes(header);
            const auto expected_id = testing::recompute_file_id(expected, version);
            for (const auto& [jobs, writers] : {std::pair<size_t, size_t>{1, 1}, {2, 4}, {3, 1}, {8, 4}}) {
                SCOPED_TRACE(::testing::Message()
                             << "v" << (version == FormatVersion::V2 ? 2 : 3) << " length " << length
                             << " jobs " << jobs << " writers " << writers);
                testing::ScratchDir dir;
                const auto root = base::Directory::open_root(dir.path()).value();
                auto temp = base::create_unique_temp_file(root, "t").value();
                testing::SnapshotRecorder recorder;
                store::ProgressTracker progress(std::nullopt, std::nullopt, recorder.observer());
                const auto id = write_content_parallel(temp, header, jobs, writers, progress);
                ASSERT_TRUE(id.has_value()) << base::error_chain(id.error());
                EXPECT_EQ(*id, expected_id);
                EXPECT_TRUE(testing::read_file(temp.path()) == expected);
                EXPECT_EQ(progress.bytes_done(), length);
                EXPECT_EQ(recorder.seen.size(), format::v3_leaf_count(length));
            }
        }
    }
}

TEST(ParallelWriteTest, OneWriterReusesItsBuffersAcrossFiles) {
    // A short last block shrinks a buffer; the next file needs it whole again.
    const std::pair<uint64_t, FormatVersion> files[] = {{5 * FILE_BLOCK_SIZE + 3, FormatVersion::V3},
                                                        {3 * FILE_BLOCK_SIZE + 1, FormatVersion::V2},
                                                        {4 * FILE_BLOCK_SIZE, FormatVersion::V3}};
    ParallelContentWriter writer(2, 4, nullptr);
    testing::ScratchDir dir;
    for (const auto& [length, version] : files) {
        const auto header = header_of(length, version);
        const auto root = base::Directory::open_root(dir.path()).value();
        auto temp = base::create_unique_temp_file(root, "t").value();
        store::ProgressTracker progress(std::nullopt, std::nullopt, nullptr);
        const auto id = writer.write(temp, header, progress);
        ASSERT_TRUE(id.has_value()) << base::error_chain(id.error());
        const auto expected = testing::expected_file_bytes(header);
        EXPECT_TRUE(testing::read_file(temp.path()) == expected) << "length " << length;
        EXPECT_EQ(*id, testing::recompute_file_id(expected, version));
    }
}

TEST(ParallelWriteTest, LowestFailingBlockWinsWhicheverFailsFirst) {
    const std::map<uint64_t, int> faults{{3, EIO}, {7, ENOSPC}, {12, EFBIG}};
    for (const std::optional<uint64_t> first : {std::optional<uint64_t>{}, std::optional<uint64_t>{12}}) {
        for (const auto version : {FormatVersion::V2, FormatVersion::V3}) {
            SCOPED_TRACE(::testing::Message()
                         << "first " << first.value_or(0) << " v" << static_cast<int>(version));
            testing::ScratchDir dir;
            const auto root = base::Directory::open_root(dir.path()).value();
            auto temp = base::create_unique_temp_file(root, "t").value();
            testing::WriteFaults writes(faults, first);
            testing::SnapshotRecorder recorder;
            store::ProgressTracker progress(std::nullopt, std::nullopt, recorder.observer());
            const auto header = header_of(16 * FILE_BLOCK_SIZE, version);
            const auto id = write_content_parallel(temp, header, 2, 4, progress, &writes);
            ASSERT_FALSE(id.has_value());
            EXPECT_EQ(base::error_chain(id.error()),
                      "writing content at " + temp.path().string() + ": Input/output error");
            EXPECT_FALSE(writes.timed_out());
            if (first) {
                EXPECT_EQ(writes.failed().front(), 12u);
            }
            // Only blocks that were written count.
            EXPECT_EQ(progress.bytes_done(), writes.written_bytes());
        }
    }
}

// One generator claims the blocks in order and one writer takes them in that order: block 0
// first, which fails once the blocks after it are queued. Those lie above the failed block, so
// the writer skips them: none is written, or even taken up.
TEST(ParallelWriteTest, BlocksAboveAFailedOneAreSkipped) {
    for (const auto version : {FormatVersion::V2, FormatVersion::V3}) {
        SCOPED_TRACE(::testing::Message() << "v" << (version == FormatVersion::V2 ? 2 : 3));
        testing::ScratchDir dir;
        const auto root = base::Directory::open_root(dir.path()).value();
        auto temp = base::create_unique_temp_file(root, "t").value();
        store::ProgressTracker progress(std::nullopt, std::nullopt, nullptr);
        const testing::FirstBlockFailsLate hooks;
        const auto id =
            write_content_parallel(temp, header_of(6 * FILE_BLOCK_SIZE, version), 1, 1, progress, &hooks);
        ASSERT_FALSE(id.has_value());
        EXPECT_EQ(base::error_chain(id.error()),
                  "writing content at " + temp.path().string() + ": Input/output error");
        EXPECT_EQ(hooks.taken(), std::vector<uint64_t>{0});
        EXPECT_EQ(progress.bytes_done(), 0u);
    }
}

TEST(ParallelWriteTest, RefusedThreadStartIsAWriteError) {
    // Spawn 0 and 1 are the generators of jobs 2, spawns 2 to 5 the writers.
    for (const size_t refused : {0, 1, 2, 5}) {
        for (const auto version : {FormatVersion::V2, FormatVersion::V3}) {
            testing::ScratchDir dir;
            const auto root = base::Directory::open_root(dir.path()).value();
            auto temp = base::create_unique_temp_file(root, "t").value();
            store::ProgressTracker progress(std::nullopt, std::nullopt, nullptr);
            const testing::RefuseSpawn hooks(refused);
            const auto id =
                write_content_parallel(temp, header_of(6 * FILE_BLOCK_SIZE, version), 2, 4, progress, &hooks);
            ASSERT_FALSE(id.has_value()) << "refused spawn " << refused;
            EXPECT_EQ(base::error_chain(id.error()),
                      "writing content at " + temp.path().string() + ": Resource temporarily unavailable");
        }
    }
}

TEST(ParallelWriteTest, WriterPanicIsRaisedOnTheCallingThread) {
    for (const auto version : {FormatVersion::V2, FormatVersion::V3}) {
        testing::ScratchDir dir;
        const auto root = base::Directory::open_root(dir.path()).value();
        auto temp = base::create_unique_temp_file(root, "t").value();
        store::ProgressTracker progress(std::nullopt, std::nullopt, nullptr);
        const testing::FaultAt hooks(2);
        EXPECT_THROW(
            {
                const auto id = write_content_parallel(temp, header_of(8 * FILE_BLOCK_SIZE, version), 2, 4,
                                                       progress, &hooks);
            },
            base::Panic);
    }
}

TEST(ParallelWriteTest, PreallocationFailureNamesItsAction) {
    testing::ScratchDir dir;
    const auto root = base::Directory::open_root(dir.path()).value();
    auto temp = base::create_unique_temp_file(root, "t").value();
    store::ProgressTracker progress(std::nullopt, std::nullopt, nullptr);
    const uint64_t too_long = std::numeric_limits<uint64_t>::max() - 5;
    const auto id = write_content_parallel(temp, header_of(too_long, FormatVersion::V3), 2, 4, progress);
    ASSERT_FALSE(id.has_value());
    EXPECT_EQ(id.error().message(), "preallocating the content file at " + temp.path().string());
    EXPECT_NE(id.error().source(), nullptr);
    EXPECT_EQ(entries_in(dir.path()), 1u);
}

}  // namespace
}  // namespace kro::gen
