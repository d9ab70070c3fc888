#include "gen/generate_error.hpp"

#include <gtest/gtest.h>

#include <cerrno>

namespace kro::gen {
namespace {

TEST(StoreGenerateErrorTest, DisplaysAndCauses) {
    struct Case {
        GenerateError error;
        std::string message;
        std::string chain;
    };
    Case cases[] = {
        {GenerateError(GenerateError::UnsupportedSeedFormat{}), "seeded generation requires KRO v3",
         "seeded generation requires KRO v3"},
        {GenerateError::io("creating the store root", "/tmp/a\xff/b", base::IoError::from_errno(ENOTDIR)),
         "creating the store root at /tmp/a\xEF\xBF\xBD/b",
         "creating the store root at /tmp/a\xEF\xBF\xBD/b: Not a directory"},
        {GenerateError(GenerateError::Randomness{base::IoError::from_errno(ENOSYS)}),
         "operating-system random source failed",
         "operating-system random source failed: Function not implemented"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.error.message(), c.message);
        EXPECT_EQ(base::error_chain(c.error), c.chain);
    }
    EXPECT_EQ(cases[0].error.source(), nullptr);
    const auto* io = cases[1].error.get_if<GenerateError::Io>();
    ASSERT_NE(io, nullptr);
    EXPECT_EQ(io->action, "creating the store root");
    EXPECT_EQ(io->path, std::filesystem::path("/tmp/a\xff/b"));
}

}  // namespace
}  // namespace kro::gen
