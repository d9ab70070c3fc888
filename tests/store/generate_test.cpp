#include "store/generate.hpp"

#include <gtest/gtest.h>

#include "store/scratch_dir.hpp"
#include "store/store_recheck.hpp"
#include "store/worker_count.hpp"

namespace kro::store {
namespace {

namespace fs = std::filesystem;
using format::FormatVersion;

SizeSampler fixed(uint64_t size) {
    return SizeSampler::from_seed(SizeSpec{SizeSpec::Fixed{size}}, MasterSeed{});
}

TEST(StoreGenerateOptionsTest, DefaultsAndBuilders) {
    GenerateOptions options("root");
    EXPECT_EQ(options.root, fs::path("root"));
    EXPECT_FALSE(options.max_files);
    EXPECT_FALSE(options.max_disk_usage);
    EXPECT_EQ(options.sampler.spec(), (SizeSpec{SizeSpec::Fixed{4096}}));
    EXPECT_EQ(options.observer, nullptr);
    EXPECT_EQ(options.jobs, default_worker_count());
    EXPECT_EQ(options.writers, 4u);
    EXPECT_EQ(options.version, FormatVersion::V3);
    EXPECT_FALSE(options.seeded);

    EXPECT_EQ(GenerateOptions("r").with_jobs(1000).jobs, 256u);
    EXPECT_EQ(GenerateOptions("r").with_jobs(0).jobs, 0u);
    EXPECT_EQ(GenerateOptions("r").with_jobs(7).jobs, 7u);
    EXPECT_EQ(GenerateOptions("r").size_sampler(fixed(10)).sampler.spec(), (SizeSpec{SizeSpec::Fixed{10}}));
}

TEST(StoreGenerateTest, WritesALinkedChainThatPassesTheRecheck) {
    testing::ScratchDir dir;
    GenerateOptions options(dir / "store");
    options.max_files = 5;
    options = std::move(options).size_sampler(fixed(3000)).with_jobs(1);
    const auto summary = generate(std::move(options));
    ASSERT_TRUE(summary.has_value()) << base::error_chain(summary.error());
    EXPECT_EQ(summary->files_written, 5u);
    EXPECT_EQ(summary->bytes_written, 15000u);
    EXPECT_EQ(summary->version, FormatVersion::V3);

    const auto store = testing::recheck_store(dir / "store");
    EXPECT_EQ(store.files.size(), 5u);
    EXPECT_EQ(testing::chain_of(store, summary->tip).size(), 5u);
    EXPECT_EQ(store.markers, std::vector<std::string>{summary->tip.to_hex()});
    const auto all = testing::read_file(dir / "store" / ".metadata" / "all");
    EXPECT_EQ(format::encode_hex(summary->aggregate), std::string(all.begin(), all.end()));
}

TEST(StoreGenerateTest, LargeFilesThroughTheParallelWriterPassTheRecheck) {
    for (const auto version : {FormatVersion::V2, FormatVersion::V3}) {
        testing::ScratchDir dir;
        GenerateOptions options(dir.path());
        options.max_files = 2;
        options.version = version;
        options = std::move(options).size_sampler(fixed(5 * format::FILE_BLOCK_SIZE + 7)).with_jobs(2);
        const auto summary = generate(std::move(options));
        ASSERT_TRUE(summary.has_value()) << base::error_chain(summary.error());
        const auto store = testing::recheck_store(dir.path());
        EXPECT_EQ(testing::chain_of(store, summary->tip).size(), 2u);
    }
}

}  // namespace
}  // namespace kro::store
