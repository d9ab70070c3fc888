// Damage made by `kro dev corrupt-file` in a generated store is found by `kro verify` where it
// was made and with the pattern of its preset, and `kro dev show` agrees on the damaged ID.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fmt/format.h>

#include "content_fixture.hpp"
#include "kro_process.hpp"

namespace kro::test {
namespace {

using ::testing::HasSubstr;

// The one content file of a store, wherever its shard directories put it.
fs::path only_content_file(const fs::path& root) {
    std::vector<fs::path> found;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        if (it->path().filename() == ".metadata") {
            it.disable_recursion_pending();
            continue;
        }
        if (it->is_regular_file()) found.push_back(it->path());
    }
    if (found.size() != 1)
        throw std::runtime_error(fmt::format("expected one content file, found {}", found.size()));
    return found.front();
}

TEST(CorruptionRoundTrip, VerifyLocatesAndClassifiesTheDamage) {
    struct Case {
        std::vector<std::string> gen;
        std::vector<std::string> corrupt;
        std::string issue;
        std::string pattern;
    };
    const Case cases[] = {
        {{"--seed", "round trip"}, {"--preset", "zero"}, "Invalid file ID for file", "zero-filled"},
        {{"--seed", "round trip"}, {"--seed", "3"}, "Invalid file ID for file", "random"},
        {{}, {}, "Invalid file ID for file", "random"},
        {{"--format", "v2"}, {"--preset", "zero"}, "Invalid checksum for file", "zero-filled"},
        {{"--format", "v2"}, {"--preset", "random"}, "Invalid checksum for file", "random"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(
            fmt::format("gen {} / corrupt-file {}", fmt::join(c.gen, " "), fmt::join(c.corrupt, " ")));
        ScratchDir dir;
        const fs::path root = dir.path() / "store";
        std::vector<std::string> gen = {"gen", "--directory", root.string(), "--max-files",
                                        "1",   "--file-size", "20000"};
        gen.insert(gen.end(), c.gen.begin(), c.gen.end());
        ASSERT_EQ(run_kro(gen).status, 0);
        const fs::path file = only_content_file(root);
        ASSERT_EQ(run_kro({"verify", "--directory", root.string()}).status, 0);

        std::vector<std::string> corrupt = {"dev",  "corrupt-file", file.string(), "--start",
                                            "8192", "--length",     "4096"};
        corrupt.insert(corrupt.end(), c.corrupt.begin(), c.corrupt.end());
        ASSERT_EQ(run_kro(corrupt).status, 0);
        EXPECT_EQ(fs::file_size(file), 20000u);

        const KroResult verify = run_kro({"verify", "--directory", root.string(), "--chunk-size", "4096"});
        EXPECT_EQ(verify.status, 1);
        EXPECT_THAT(verify.err, HasSubstr(fmt::format("CORRUPTION: {} \"{}\"", c.issue, file.string())));
        EXPECT_THAT(verify.out, HasSubstr("  Regions: 1\n"));
        EXPECT_THAT(verify.out, HasSubstr(fmt::format("  Region 1: Offset 8,192\u201312,288 (4,096 bytes)\n"
                                                      "    Pattern: {}\n",
                                                      c.pattern)));
        EXPECT_THAT(verify.out, HasSubstr("Verification failed.\n"));

        // dev show hashes the damaged file to the same ID that verify reports.
        const size_t line_end = verify.err.find('\n');
        ASSERT_GE(line_end, 40u);
        const std::string actual_id = verify.err.substr(line_end - 40, 40);
        const KroResult show = run_kro({"dev", "show", file.string(), "--verify-checksum"});
        EXPECT_THAT(show.out, HasSubstr(fmt::format("  Actual: {}\n  Matches: no\n", actual_id)));
        EXPECT_EQ(show.status, 1);
    }
}

}  // namespace
}  // namespace kro::test
