#include "gen/sizes/seed.hpp"

#include <gtest/gtest.h>

#include "format/hex.hpp"

namespace kro::gen {
namespace {

// Known answers from `b3sum --derive-key <context>` over the same bytes.
TEST(SeedDerivation, MatchesIndependentKeyDerivation) {
    const auto master = derive_master_seed("42");
    ASSERT_TRUE(master);
    // printf '42' | b3sum --derive-key kro:gen:seed:v3:master
    EXPECT_EQ(format::encode_hex(*master),
              "ecf899f823400c62c95f492a15d5ddc143c73804331312a03ab9ec99281de1f2");
    // b3sum --derive-key kro:gen:seed:v3:size-rng over the 32 master-seed bytes
    EXPECT_EQ(format::encode_hex(derive_size_stream_key(*master)),
              "4cf91f632df60028a80bcaffde05885b639dc3608f7bde20d10e6338f481180e");
    // b3sum --derive-key kro:gen:seed:v3:content-seed over master || index as 8 little-endian bytes, first 16
    // bytes
    EXPECT_EQ(derive_content_seed(*master, 0).to_hex(), "e75fb08f5a559cce2ecc35183aedb304");
    EXPECT_EQ(derive_content_seed(*master, 1).to_hex(), "9bd376cdd3ed65eb0ed86f0ca4990fec");
    EXPECT_EQ(derive_content_seed(*master, 0x8000000000000102).to_hex(), "1fdab2524226d8cc2e6c22a7899e9a24");
}

TEST(SeedDerivation, TakesTheTextExactly) {
    // printf '42 ' | b3sum --derive-key kro:gen:seed:v3:master
    EXPECT_EQ(format::encode_hex(derive_master_seed("42 ").value()),
              "6067b30af27e2c26669d13e40ee60a578bc1d042399578942ac802c69f021d94");
    EXPECT_NE(derive_master_seed("42").value(), derive_master_seed("42 ").value());
}

TEST(SeedDerivation, RefusesAnEmptyText) {
    const auto empty = derive_master_seed("");
    ASSERT_FALSE(empty);
    EXPECT_EQ(empty.error().message(), "generation seed must not be empty");
    EXPECT_EQ(empty.error().debug(), "Empty");
}

}  // namespace
}  // namespace kro::gen
