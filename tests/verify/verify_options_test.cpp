#include "verify/verify_options.hpp"

#include <gtest/gtest.h>

#include "store/worker_count.hpp"

namespace kro::verify {
namespace {

TEST(VerifyOptionsTest, DefaultsAndClamps) {
    const VerifyOptions options{.root = "store"};
    EXPECT_EQ(options.root, "store");
    EXPECT_EQ(options.chunk_size, 4096u);
    EXPECT_EQ(options.jobs, store::default_worker_count());
    EXPECT_EQ(options.progress, nullptr);

    struct Case {
        uint64_t given, chunk_size, jobs;
    };
    for (const Case& c : {Case{100000000, 67108864, 256}, Case{67108864, 67108864, 256}, Case{300, 300, 256},
                          Case{256, 256, 256}, Case{0, 0, 0}, Case{1, 1, 1}}) {
        const VerifyOptions set{.root = "s", .chunk_size = c.given, .jobs = c.given};
        EXPECT_EQ(set.chunk_size, c.chunk_size) << c.given;
        EXPECT_EQ(set.jobs, c.jobs) << c.given;
        // An assignment is clamped as well.
        VerifyOptions assigned{.root = "s"};
        assigned.chunk_size = c.given;
        assigned.jobs = c.given;
        EXPECT_EQ(assigned.chunk_size, c.chunk_size) << c.given;
        EXPECT_EQ(assigned.jobs, c.jobs) << c.given;
    }
}

}  // namespace
}  // namespace kro::verify
