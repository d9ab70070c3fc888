#include "base/fs/temp_file_registry.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "base/fs/directory.hpp"
#include "base/fs/temp_file.hpp"
#include "support/scratch_dir.hpp"

namespace kro::base {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> names_in(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
    std::ranges::sort(names);
    return names;
}

// What a signal's cleanup removes: every temporary file that exists, in whichever directory,
// and nothing that was already placed or dropped.
TEST(StoreTempFileRegistryTest, RemovesExactlyTheTemporaryFilesThatExist) {
    testing::ScratchDir dir;
    const Directory root = Directory::open_root(dir.path()).value();
    const Directory meta = root.make_child(".metadata").value();
    TempFileRegistry registry;

    ASSERT_TRUE(create_unique_temp_file(root, "placed-", nullptr, &registry)
                    .value()
                    .persist_at(root.fd(), "final")
                    .has_value());
    { const auto dropped = create_unique_temp_file(root, "dropped-", nullptr, &registry).value(); }
    const auto content = create_unique_temp_file(root, "content-", nullptr, &registry).value();
    const auto aggregate = create_unique_temp_file(meta, "all.tmp-", nullptr, &registry).value();
    EXPECT_EQ(names_in(dir.path()).size(), 3u);
    EXPECT_EQ(names_in(dir / ".metadata").size(), 1u);

    {
        const auto sealed = registry.remove_all();
        EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{".metadata", "final"}));
        EXPECT_TRUE(names_in(dir / ".metadata").empty());
    }
}

}  // namespace
}  // namespace kro::base
