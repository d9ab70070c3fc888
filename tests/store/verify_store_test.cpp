#include "store/verify_store.hpp"

#include <gtest/gtest.h>

#include "scratch_dir.hpp"
#include "verify_fixture.hpp"

namespace kro::store {
namespace {

using format::FileId;
using format::FormatVersion;
using namespace kro::verify_testing;

TEST(VerifyStoreTest, SoundStoreHasNoIssue) {
    kro::testing::ScratchDir dir;
    StoreBuilder store(dir.path());
    store.add_chain(FormatVersion::V3, {60, 100, 5000, 1048576 + 100});
    store.add_chain(FormatVersion::V2, {61, 4096, 1048576 + 7});
    store.write_aggregate();
    auto report = verify_store(options_for(dir.path()));
    ASSERT_TRUE(report.has_value()) << report.error().message();
    EXPECT_TRUE(report->issues.empty());
    EXPECT_EQ(report->files_checked, 7u);
}

}  // namespace
}  // namespace kro::store
