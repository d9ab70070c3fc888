#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "content_fixture.hpp"
#include "format/content.hpp"
#include "format/file_id.hpp"
#include "format/header.hpp"
#include "format/store_path.hpp"
#include "kro_process.hpp"

namespace kro::test {
namespace {

namespace fs = std::filesystem;

// What a store holds, every content file checked through the format library.
struct StoreContents {
    std::map<fs::path, format::Header> files;  // by path relative to the root
    std::set<std::string> markers;
    bool has_aggregate = false;
};

format::FileId file_id_of(const format::Header& header, const std::vector<uint8_t>& bytes) {
    if (header.version() == format::FormatVersion::V2) {
        format::V2FileIdHasher hasher;
        hasher.update(bytes);
        return hasher.finalize();
    }
    std::vector<format::MerkleHash> leaves;
    for (uint64_t k = 0; k < format::v3_leaf_count(bytes.size()); ++k) {
        const auto begin = bytes.begin() + static_cast<std::ptrdiff_t>(k * format::FILE_BLOCK_SIZE);
        leaves.push_back(format::leaf_hash(
            k, {begin, begin + static_cast<std::ptrdiff_t>(format::file_block_len(bytes.size(), k))}));
    }
    return format::merkle_file_id(std::move(leaves), bytes.size());
}

StoreContents read_store(const fs::path& root) {
    StoreContents store;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const fs::path relative = fs::relative(it->path(), root);
        if (relative == ".metadata") {
            it.disable_recursion_pending();
            for (const auto& marker : fs::directory_iterator(root / ".metadata" / "roots")) {
                store.markers.insert(marker.path().filename().string());
                EXPECT_EQ(fs::file_size(marker.path()), 0u);
            }
            store.has_aggregate = fs::file_size(root / ".metadata" / "all") == 40;
            continue;
        }
        if (!it->is_regular_file()) continue;
        const std::vector<uint8_t> bytes = read_file(it->path());
        const auto header = format::Header::parse(bytes);
        if (!header) {
            ADD_FAILURE() << "bad header: " << relative;
            continue;
        }
        EXPECT_EQ(header->file_length(), bytes.size()) << relative;
        const format::FileId id = file_id_of(*header, bytes);
        EXPECT_EQ(relative, id.shard_path()) << "not at the path of its ID";
        EXPECT_EQ(format::parse_content_path(relative).value(), id);
        std::vector<uint8_t> expected(bytes.size() - format::HEADER_LEN);
        format::ContentReader::at_offset(header->seed(), 0, header->version()).fill(expected);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), bytes.begin() + format::HEADER_LEN))
            << relative;
        store.files.emplace(relative, *header);
    }
    return store;
}

// The files form one chain from the all-zero parent; returns the tip's hex (40 zeros when empty).
std::string single_chain_tip(const StoreContents& store) {
    std::map<std::string, std::string> child_of;  // parent hex -> child hex
    for (const auto& [path, header] : store.files) {
        EXPECT_TRUE(
            child_of.emplace(header.parent().to_hex(), format::parse_content_path(path)->to_hex()).second)
            << "two files share a parent";
    }
    std::string at = format::FileId{}.to_hex();
    size_t length = 0;
    while (child_of.contains(at)) {
        at = child_of[at];
        ++length;
    }
    EXPECT_EQ(length, store.files.size()) << "the files are not one chain";
    return at;
}

std::map<fs::path, std::vector<uint8_t>> tree_bytes(const fs::path& root) {
    std::map<fs::path, std::vector<uint8_t>> out;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) out.emplace(fs::relative(entry.path(), root), read_file(entry.path()));
    }
    return out;
}

class GenCommandTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        dir_ = fs::temp_directory_path() / ("kro-gen-" + name + "-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    KroResult gen(std::vector<std::string> args, const fs::path& store) {
        args.insert(args.begin(), {"gen", "--directory", store.string()});
        return run_kro(std::move(args));
    }

    fs::path dir_;
};

TEST_F(GenCommandTest, DefaultsWriteAHundredV3FilesOf4096BytesIntoTheCurrentDirectory) {
    KroRun run;
    run.args = {"gen"};
    run.cwd = dir_.string();
    run.env = {{"TERM", std::nullopt}, {"NO_COLOR", std::nullopt}};
    const KroResult result = run_kro(run);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    const StoreContents store = read_store(dir_);
    EXPECT_EQ(store.files.size(), 100u);
    for (const auto& [path, header] : store.files) {
        EXPECT_EQ(header.file_length(), 4096u);
        EXPECT_EQ(header.version(), format::FormatVersion::V3);
    }
    EXPECT_EQ(store.markers, std::set<std::string>{single_chain_tip(store)});
    EXPECT_TRUE(store.has_aggregate);
}

TEST_F(GenCommandTest, NegativeMaxFilesWritesNoFileButStillRecordsTheRun) {
    const KroResult result = gen({"--max-files", "-5"}, dir_ / "store");
    EXPECT_EQ(result.status, 0) << result.err;
    const StoreContents store = read_store(dir_ / "store");
    EXPECT_TRUE(store.files.empty());
    EXPECT_EQ(store.markers, std::set<std::string>{std::string(40, '0')});
    EXPECT_TRUE(store.has_aggregate);
}

TEST_F(GenCommandTest, MaxDiskUsageAloneHasNoFileLimit) {
    const KroResult result = gen({"--max-disk-usage", "1MB"}, dir_ / "store");
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(read_store(dir_ / "store").files.size(), 256u);
}

TEST_F(GenCommandTest, BothLimitsApplyAndTheFirstReachedStops) {
    EXPECT_EQ(gen({"--max-disk-usage", "1MB", "--max-files", "3"}, dir_ / "a").status, 0);
    EXPECT_EQ(read_store(dir_ / "a").files.size(), 3u);
    EXPECT_EQ(gen({"--max-disk-usage", "10000", "--max-files", "30"}, dir_ / "b").status, 0);
    EXPECT_EQ(read_store(dir_ / "b").files.size(), 3u);
}

TEST_F(GenCommandTest, SeededRunIsReproducedByteForByteInAnotherDirectory) {
    const std::vector<std::string> args = {"--seed", "reproduce me", "--max-files",
                                           "12",     "--file-size",  "100-300KB"};
    ASSERT_EQ(gen(args, dir_ / "first").status, 0);
    ASSERT_EQ(gen(args, dir_ / "second").status, 0);
    const auto first = tree_bytes(dir_ / "first");
    EXPECT_EQ(first.size(), 14u);  // 12 files, the marker and the aggregate
    EXPECT_EQ(first, tree_bytes(dir_ / "second"));
    const StoreContents store = read_store(dir_ / "first");
    EXPECT_EQ(store.markers, std::set<std::string>{single_chain_tip(store)});

    auto other_seed = args;
    other_seed[1] = "reproduce me ";
    ASSERT_EQ(gen(other_seed, dir_ / "third").status, 0);
    EXPECT_NE(first, tree_bytes(dir_ / "third"));
}

TEST_F(GenCommandTest, WorkerBudgetChangesNothingInTheFiles) {
    // Five 1 MiB blocks per file: two jobs take the parallel writer, one job writes sequentially.
    const std::vector<std::string> args = {"--seed", "jobs", "--max-files", "2", "--file-size", "5MB"};
    auto with_jobs = [&](std::string jobs, const fs::path& store) {
        auto all = args;
        all.insert(all.end(), {"--jobs", std::move(jobs)});
        const KroResult result = gen(all, store);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.err, "");
    };
    with_jobs("1", dir_ / "one");
    with_jobs("2", dir_ / "two");
    with_jobs("1000", dir_ / "many");
    const auto one = tree_bytes(dir_ / "one");
    EXPECT_EQ(one, tree_bytes(dir_ / "two"));
    EXPECT_EQ(one, tree_bytes(dir_ / "many"));
    EXPECT_EQ(read_store(dir_ / "two").files.size(), 2u);
}

TEST_F(GenCommandTest, VersionTwoFilesWithoutSeed) {
    ASSERT_EQ(gen({"--format", "v2", "--max-files", "3", "--file-size", "2KB"}, dir_ / "store").status, 0);
    const StoreContents store = read_store(dir_ / "store");
    ASSERT_EQ(store.files.size(), 3u);
    for (const auto& [path, header] : store.files) EXPECT_EQ(header.version(), format::FormatVersion::V2);
    EXPECT_EQ(store.markers, std::set<std::string>{single_chain_tip(store)});
}

TEST_F(GenCommandTest, SeedWithVersionTwoIsAUsageErrorAndCreatesNothing) {
    const KroResult result = gen({"--seed", "x", "--format", "v2"}, dir_ / "store");
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err,
              "error: --seed requires --format v3\n\nUsage: kro gen [OPTIONS]\n\nFor more information, try "
              "'--help'.\n");
    EXPECT_FALSE(fs::exists(dir_ / "store"));
}

TEST_F(GenCommandTest, FailureOnTheThirdFilePrintsOneErrorLine) {
    const std::vector<std::string> args = {"--seed", "third", "--max-files", "5"};
    ASSERT_EQ(gen(args, dir_ / "probe").status, 0);
    // The third file of the chain, found by walking it from the start.
    const StoreContents probe = read_store(dir_ / "probe");
    std::map<std::string, fs::path> by_parent;
    for (const auto& [path, header] : probe.files) by_parent[header.parent().to_hex()] = path;
    fs::path third = by_parent.at(format::FileId{}.to_hex());
    for (int i = 0; i < 2; ++i) third = by_parent.at(format::parse_content_path(third)->to_hex());
    ASSERT_NE(*third.begin(), *by_parent.at(format::FileId{}.to_hex()).begin()) << "pick another seed";

    // A file where the third file's first shard directory must go.
    fs::create_directories(dir_ / "store");
    std::ofstream(dir_ / "store" / *third.begin()) << "in the way";
    const KroResult result = gen(args, dir_ / "store");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    const std::string prefix =
        "error: creating the shard directory at " + (dir_ / "store" / third.parent_path()).string() + ": ";
    EXPECT_EQ(result.err.substr(0, prefix.size()), prefix) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_EQ(result.err.back(), '\n');
    fs::remove(dir_ / "store" / *third.begin());
    const StoreContents store = read_store(dir_ / "store");
    EXPECT_EQ(store.files.size(), 2u);
    EXPECT_TRUE(store.markers.empty());
}

TEST_F(GenCommandTest, AnImpossibleSizeBandFailsWithTheWholeChain) {
    const KroResult result =
        gen({"--file-size", "Type=lognormal,Median=1MB,Sigma=0.1,Max=100"}, dir_ / "store");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(
        result.err,
        "error: selecting the next file size failed: insufficient probability mass within 60..=100 bytes for "
        "Type=lognormal,Median=1048576,Sigma=0.1,Min=60,Max=100\n");
}

// The store root is made with every directory missing above it; whatever else is in its way
// fails the run with the root's own action.
TEST_F(GenCommandTest, StoreRootIsMadeWithItsMissingParents) {
    struct Case {
        std::string directory;  // under the scratch directory, where "file" is a regular file
        std::string err;        // empty for a run that succeeds
    };
    const std::vector<Case> cases = {
        {"new/a/b", ""},
        {"new/a/b/", ""},
        {"file/a/b", "error: creating the store root at {dir}/file/a/b: Not a directory\n"},
        {"file", "error: creating the store root at {dir}/file: File exists\n"},
    };
    for (const Case& c : cases) {
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        const std::string in_the_way = "in the way";
        std::ofstream(dir_ / "file") << in_the_way;
        const fs::path root = dir_ / c.directory;
        const KroResult result = gen({"--max-files", "1", "--seed", "root"}, root);
        EXPECT_EQ(result.out, "") << c.directory;
        EXPECT_EQ(result.err, substitute(c.err, {{"dir", dir_.string()}})) << c.directory;
        if (!c.err.empty()) {
            EXPECT_EQ(result.status, 1) << c.directory;
            EXPECT_EQ(read_file(dir_ / "file"), std::vector<uint8_t>(in_the_way.begin(), in_the_way.end()));
            continue;
        }
        EXPECT_EQ(result.status, 0) << c.directory;
        const StoreContents store = read_store(root);
        EXPECT_EQ(store.files.size(), 1u) << c.directory;
        EXPECT_EQ(store.markers.size(), 1u) << c.directory;
        EXPECT_TRUE(store.has_aggregate) << c.directory;
    }
}

TEST_F(GenCommandTest, AnUnreadableCurrentDirectoryIsReported) {
    KroRun run;
    run.args = {"gen"};
    run.cwd = (dir_ / "gone").string();
    fs::create_directories(run.cwd);
    run.remove_cwd = true;
    const KroResult result = run_kro(run);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "error: resolving the current directory: No such file or directory\n");
}

TEST_F(GenCommandTest, MemoryThatRunsOutIsTheStepsErrorNotAnAbort) {
    if (!address_space_limits_work())
        GTEST_SKIP() << "sanitizer runtimes need more address space than the limit leaves";
    // 256 jobs on a 1 GiB file want 1 GiB of block buffers; half of that is allowed.
    KroRun run;
    run.args = {"gen",    "--directory", (dir_ / "store").string(), "--max-files", "1", "--file-size", "1GB",
                "--jobs", "256"};
    run.env = {{"TERM", std::nullopt}, {"NO_COLOR", std::nullopt}};
    run.address_space_limit = uint64_t{512} << 20;
    const KroResult result = run_kro(run);
    EXPECT_EQ(result.status, 1);
    const std::string prefix = "error: writing content at " + (dir_ / "store" / "0000000000000000").string();
    EXPECT_EQ(result.err.substr(0, prefix.size()), prefix) << result.err;
    EXPECT_TRUE(result.err.ends_with(": out of memory\n")) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_TRUE(fs::is_empty(dir_ / "store"));
}

TEST_F(GenCommandTest, FewOpenFilesAllowedStillWriteTheWholeStore) {
#if defined(__SANITIZE_ADDRESS__)
    // Its runtime checks an object's type through a pipe, which it cannot make when the limit is
    // reached, and then reports a false fault.
    GTEST_SKIP() << "the sanitizer runtime needs descriptors of its own";
#endif
    // Fewer descriptors than the 256 first-level shard directories that a run keeps open.
    KroRun run;
    run.args = {"gen", "--directory", (dir_ / "store").string(), "--max-files", "600", "--jobs", "1"};
    run.env = {{"TERM", std::nullopt}, {"NO_COLOR", std::nullopt}};
    run.open_files_limit = 48;
    const KroResult result = run_kro(run);
    EXPECT_EQ(result.status, 0) << result.err;
    const KroResult verified = run_kro({"verify", "--directory", (dir_ / "store").string(), "--jobs", "1"});
    EXPECT_EQ(verified.status, 0) << verified.err;
}

TEST_F(GenCommandTest, ProgressLineOnATerminal) {
    KroRun run;
    run.args = {"gen", "--directory", (dir_ / "store").string(), "--max-files", "3"};
    run.stderr_tty = true;
    run.env = {{"TERM", "xterm"}, {"NO_COLOR", std::nullopt}};
    const KroResult colored = run_kro(run);
    EXPECT_EQ(colored.status, 0);
    EXPECT_EQ(colored.err.substr(0, 10), "\x1b[?7l\r\x1b[2K");
    EXPECT_NE(colored.err.find("\x1b[36m⠋\x1b[0m Generate \x1b[36m────────────────\x1b[0m   0%  0 B / 12.0 "
                               "KiB  0 / 3 files  ETA —"
                               "\x1b[?7h"),
              std::string::npos)
        << colored.err;
    const std::string done =
        "\x1b[?7l\r\x1b[2K\x1b[32m✓\x1b[0m Generate \x1b[32m━━━━━━━━━━━━━━━━\x1b[0m 100%  12.0 KiB / 12.0 "
        "KiB  3 / 3 files  ";
    const size_t final_line = colored.err.rfind(done);
    ASSERT_NE(final_line, std::string::npos) << colored.err;
    EXPECT_EQ(colored.err.substr(colored.err.size() - 6), "\x1b[?7h\n");
    EXPECT_EQ(colored.out, "");

    run.args[2] = (dir_ / "plain").string();
    run.env["NO_COLOR"] = "1";
    const KroResult plain = run_kro(run);
    EXPECT_EQ(plain.status, 0);
    EXPECT_NE(plain.err.find(
                  "\x1b[?7l\r\x1b[2K✓ Generate ━━━━━━━━━━━━━━━━ 100%  12.0 KiB / 12.0 KiB  3 / 3 files  "),
              std::string::npos)
        << plain.err;
    EXPECT_EQ(plain.err.find("\x1b[3"), std::string::npos);

    run.args[2] = (dir_ / "dumb").string();
    run.env = {{"TERM", "dumb"}, {"NO_COLOR", std::nullopt}};
    const KroResult dumb = run_kro(run);
    EXPECT_EQ(dumb.status, 0);
    EXPECT_EQ(dumb.err, "");
}

TEST_F(GenCommandTest, FailedRunErasesItsProgressLineBeforeTheError) {
    KroRun run;
    run.args = {"gen", "--directory", (dir_ / "store").string(), "--file-size",
                "Type=lognormal,Median=1MB,Sigma=0.1,Max=100"};
    run.stderr_tty = true;
    run.env = {{"TERM", "xterm"}, {"NO_COLOR", "1"}};
    const KroResult result = run_kro(run);
    EXPECT_EQ(result.status, 1);
    const std::string tail = "\x1b[?7h\r\x1b[2Kerror: selecting the next file size failed: ";
    EXPECT_NE(result.err.find(tail), std::string::npos) << result.err;
}

}  // namespace
}  // namespace kro::test
