// What generation writes, verification finds sound: both libraries together, below the command
// line, for sizes around the block and header edges and for both versions.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "base/errors/error.hpp"
#include "format/header.hpp"
#include "gen/generate.hpp"
#include "gen/sizes/size_spec.hpp"
#include "support/scratch_dir.hpp"
#include "verify/verify_store.hpp"

namespace kro::test {
namespace {

using format::FormatVersion;

// One generation run into `root`: `count` files of `size` bytes, unseeded, on one thread.
void generate_run(const std::filesystem::path& root, FormatVersion version, uint64_t size, uint64_t count) {
    const gen::SizeSpec spec{gen::SizeSpec::Fixed{size}};
    const auto summary = gen::generate({
        .root = root,
        .max_files = count,
        .sampler = gen::SizeSampler::from_entropy(spec).value(),
        .jobs = 1,
        .version = version,
    });
    ASSERT_TRUE(summary.has_value()) << base::error_chain(summary.error());
    EXPECT_EQ(summary->files_written, count);
}

TEST(GeneratedStoreTest, EveryGeneratedStoreVerifiesSound) {
    struct Case {
        FormatVersion version;
        uint64_t size, count;
    };
    for (const Case& c : {Case{FormatVersion::V3, 100, 5}, Case{FormatVersion::V3, 2 * 1048576 + 1, 2},
                          Case{FormatVersion::V2, 4096, 4}, Case{FormatVersion::V2, 1048576 + 61, 2},
                          Case{FormatVersion::V3, 10, 3}}) {
        kro::testing::ScratchDir dir;
        generate_run(dir.path(), c.version, c.size, c.count);
        // A second run adds a second chain and a second tip.
        generate_run(dir.path(), c.version, c.size, 1);
        auto report = verify::verify_store(verify::VerifyOptions{.root = dir.path(), .jobs = 1});
        ASSERT_TRUE(report.has_value()) << base::error_chain(report.error());
        EXPECT_THAT(report->issues, ::testing::IsEmpty()) << c.size;
        EXPECT_EQ(report->files_checked, c.count + 1);
    }
}

}  // namespace
}  // namespace kro::test
