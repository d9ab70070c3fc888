// Stores and files shaped by an attacker, given to the built binary. Each row plants its input
// in a fresh scratch directory, runs kro once and states the exact outcome: the exit status,
// what was printed, and that nothing outside the store was created or changed.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "kro_process.hpp"

namespace kro::test {
namespace {

namespace fs = std::filesystem;

// The scratch directory of one row: `store` is what kro is pointed at, `outside` a directory
// beside it that kro must never write into.
struct Scene {
    fs::path dir;
    fs::path store() const { return dir / "store"; }
    fs::path outside() const { return dir / "outside"; }
};

struct HostileCase {
    std::string name;  // a valid test name
    std::function<void(const Scene&)> plant;
    // The kro arguments; "{store}" and "{outside}" stand for those paths.
    std::vector<std::string> args;
    int status;
    std::function<void(const Scene&, const KroResult&)> expect;
};

// A v3 store of `count` files made by kro itself, reproducible from `seed`.
void make_store(const Scene& scene, int count, const std::string& seed = "hostile") {
    const KroResult gen = run_kro({"gen", "--directory", scene.store().string(), "--max-files",
                                   std::to_string(count), "--file-size", "4KB", "--seed", seed});
    ASSERT_EQ(gen.status, 0) << gen.err;
}

// Reading follows what the user linked: a `.metadata/roots` that is a link to a directory
// elsewhere is read through.
std::vector<HostileCase> read_cases() {
    return {
        {"LinkedChainTipDirectoryIsReadThrough",
         [](const Scene& s) {
             make_store(s, 3);
             fs::rename(s.store() / ".metadata" / "roots", s.outside() / "roots");
             fs::create_directory_symlink(s.outside() / "roots", s.store() / ".metadata" / "roots");
         },
         {"verify", "--directory", "{store}", "--jobs", "1"},
         0,
         [](const Scene&, const KroResult& r) { EXPECT_EQ(r.err, ""); }},
    };
}

std::vector<HostileCase> all_cases() {
    std::vector<HostileCase> cases;
    for (auto part : {read_cases}) {
        for (HostileCase& c : part()) cases.push_back(std::move(c));
    }
    return cases;
}

class HostileStore : public ::testing::TestWithParam<HostileCase> {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "kro-hostile-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        scene_.dir = pattern;
        fs::create_directory(scene_.outside());
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(scene_.dir, ignored);
    }
    Scene scene_;
};

std::string substitute(std::string arg, const Scene& scene) {
    for (const auto& [key, value] :
         {std::pair<std::string, std::string>{"{store}", scene.store()}, {"{outside}", scene.outside()}}) {
        for (size_t at = arg.find(key); at != std::string::npos; at = arg.find(key))
            arg.replace(at, key.size(), value);
    }
    return arg;
}

TEST_P(HostileStore, HasItsExactOutcome) {
    const HostileCase& c = GetParam();
    c.plant(scene_);
    if (HasFatalFailure()) return;
    std::vector<std::string> args;
    for (const std::string& arg : c.args) args.push_back(substitute(arg, scene_));
    const KroResult result = run_kro(args);
    EXPECT_EQ(result.status, c.status) << result.out << result.err;
    c.expect(scene_, result);
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileStore, ::testing::ValuesIn(all_cases()),
                         [](const ::testing::TestParamInfo<HostileCase>& info) { return info.param.name; });

}  // namespace
}  // namespace kro::test
