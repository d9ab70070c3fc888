// The built binary with one family of system calls failing or answering unusually (the preloaded
// library of tests/cli/preload_shim.c decides): a failing call ends the run with its action and
// path, status 1, and an unusual but valid answer changes nothing.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "content_fixture.hpp"
#include "kro_process.hpp"

namespace kro::test {
namespace {

using format::FormatVersion;

struct FailingCallCase {
    std::string name;  // a valid test name
    // Makes what the run works on in the scratch directory, with every call working.
    std::function<void(const fs::path& dir)> plant;
    // The value of KRO_FAILING_CALLS.
    std::string families;
    // "{dir}" stands for the scratch directory.
    std::vector<std::string> args;
    int status;
    std::function<void(const fs::path& dir, const KroResult&)> expect;
};

// A store of one file of 8 MiB: eight blocks, which up to four threads hash at once.
std::function<void(const fs::path&)> one_large_file(FormatVersion version) {
    return [version](const fs::path& dir) { generate_store(dir / "store", version, 8 << 20, 1); };
}

void three_small_files(const fs::path& dir) {
    generate_store(dir / "store", FormatVersion::V3, 4096, 3);
}

// The same store without chain-tip markers: the first listing is that of the store root.
void three_small_files_without_markers(const fs::path& dir) {
    three_small_files(dir);
    for (const auto& marker : fs::directory_iterator(dir / "store" / ".metadata" / "roots"))
        fs::remove(marker.path());
}

// The same store with a link to a directory outside it, which the walk never follows.
void three_small_files_and_a_linked_directory(const fs::path& dir) {
    three_small_files(dir);
    generate_store(dir / "outside", FormatVersion::V3, 4096, 1);
    fs::create_directory_symlink(dir / "outside", dir / "store" / "linked");
}

void nothing(const fs::path&) {}

// A read that fails while the file is hashed names the file, on one thread and on several.
FailingCallCase read_error_while_hashing(std::string name, FormatVersion version, std::string jobs) {
    return {std::move(name),
            one_large_file(version),
            "pread",
            {"verify", "--directory", "{dir}/store", "--jobs", jobs},
            1,
            [](const fs::path& dir, const KroResult& r) {
                const std::vector<fs::path> files = content_files(dir / "store");
                ASSERT_EQ(files.size(), 1u);
                EXPECT_EQ(r.err,
                          "ERROR: reading a data file at " + files[0].string() + ": Input/output error\n");
                EXPECT_EQ(r.out, header_lines((dir / "store").string()) + std::string(VERIFY_FAILED));
            }};
}

std::vector<FailingCallCase> cases() {
    return {
        read_error_while_hashing("ReadErrorWhileHashingV2OnOneThread", FormatVersion::V2, "1"),
        read_error_while_hashing("ReadErrorWhileHashingV2OnSeveralThreads", FormatVersion::V2, "8"),
        read_error_while_hashing("ReadErrorWhileHashingV3OnOneThread", FormatVersion::V3, "1"),
        read_error_while_hashing("ReadErrorWhileHashingV3OnSeveralThreads", FormatVersion::V3, "8"),
        {"AggregateThatCannotBeSyncedIsNeitherPlacedNorLeftBehind",
         nothing,
         "fsync",
         {"gen", "--directory", "{dir}/store", "--max-files", "2", "--seed", "sync"},
         1,
         [](const fs::path& dir, const KroResult& r) {
             // The temporary file's last eight hex digits are drawn at random.
             const std::string prefix =
                 "error: syncing the aggregate at " + (dir / "store").string() + "/.metadata/all.tmp-";
             const std::string suffix = ": Input/output error\n";
             EXPECT_EQ(r.err.size(), prefix.size() + 8 + suffix.size()) << r.err;
             EXPECT_TRUE(r.err.starts_with(prefix)) << r.err;
             EXPECT_TRUE(r.err.ends_with(suffix)) << r.err;
             EXPECT_EQ(r.err.substr(prefix.size(), 8).find_first_not_of("0123456789abcdef"),
                       std::string::npos)
                 << r.err;
             EXPECT_EQ(r.out, "");
             std::vector<std::string> metadata;
             for (const auto& entry : fs::directory_iterator(dir / "store" / ".metadata"))
                 metadata.push_back(entry.path().filename());
             EXPECT_EQ(metadata, std::vector<std::string>{"roots"});
             EXPECT_EQ(content_files(dir / "store").size(), 2u);
         }},
        // Where the listing gives no types, each entry's own metadata tells a directory from a
        // file; where the types are given, that metadata is not needed.
        {"EntriesOfUnknownTypeAreLookedUp",
         three_small_files_and_a_linked_directory,
         "unknown-type",
         {"verify", "--directory", "{dir}/store", "--jobs", "2"},
         0,
         [](const fs::path& dir, const KroResult& r) {
             EXPECT_EQ(r.err, "");
             EXPECT_EQ(r.out, header_lines((dir / "store").string()) + std::string(VERIFY_PASSED));
         }},
        {"EntriesOfKnownTypeNeedNoLookUp",
         three_small_files,
         "fstatat",
         {"verify", "--directory", "{dir}/store", "--jobs", "2"},
         0,
         [](const fs::path& dir, const KroResult& r) {
             EXPECT_EQ(r.err, "");
             EXPECT_EQ(r.out, header_lines((dir / "store").string()) + std::string(VERIFY_PASSED));
         }},
        {"UnknownTypeThatCannotBeLookedUpFailsTheMarkerListing",
         three_small_files,
         "unknown-type,fstatat",
         {"verify", "--directory", "{dir}/store", "--jobs", "2"},
         1,
         [](const fs::path& dir, const KroResult& r) {
             EXPECT_EQ(r.err, "ERROR: listing the chain-tip markers at " +
                                  (dir / "store" / ".metadata" / "roots").string() +
                                  ": Input/output error\n");
             EXPECT_EQ(r.out, header_lines((dir / "store").string()) + std::string(VERIFY_FAILED));
         }},
        {"UnknownTypeThatCannotBeLookedUpFailsTheStoreWalk",
         three_small_files_without_markers,
         "unknown-type,fstatat",
         {"verify", "--directory", "{dir}/store", "--jobs", "2"},
         1,
         [](const fs::path& dir, const KroResult& r) {
             EXPECT_EQ(r.err, "ERROR: listing a store directory at " + (dir / "store").string() +
                                  ": Input/output error\n");
             EXPECT_EQ(r.out, header_lines((dir / "store").string()) + std::string(VERIFY_FAILED));
         }},
    };
}

void PrintTo(const FailingCallCase& c, std::ostream* out) {
    *out << c.name;
}

class FailingCalls : public ::testing::TestWithParam<FailingCallCase> {};

TEST_P(FailingCalls, HaveTheirExactOutcome) {
    const FailingCallCase& c = GetParam();
    const ScratchDir dir;
    c.plant(dir.path());
    KroRun run;
    for (const std::string& arg : c.args) run.args.push_back(substitute(arg, {{"dir", dir.path()}}));
    run.env = shim_env({{"KRO_FAILING_CALLS", c.families}});
    const KroResult result = run_kro(run);
    EXPECT_EQ(result.status, c.status) << result.out << result.err;
    c.expect(dir.path(), result);
}

INSTANTIATE_TEST_SUITE_P(Cases, FailingCalls, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<FailingCallCase>& info) {
                             return info.param.name;
                         });

}  // namespace
}  // namespace kro::test
