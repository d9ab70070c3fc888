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
#include <iterator>
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

// What a seeded run of `make_store` writes, learnt from a run in a directory of its own.
const std::string kZeroTip(40, '0');

fs::path probe_root(const Scene& scene) {
    return scene.dir / "probe";
}

void make_probe(const Scene& scene, int count) {
    const KroResult gen = run_kro({"gen", "--directory", probe_root(scene).string(), "--max-files",
                                   std::to_string(count), "--file-size", "4KB", "--seed", "hostile"});
    ASSERT_EQ(gen.status, 0) << gen.err;
}

// The probe's chain tip: the name of its only marker.
std::string probe_tip(const Scene& scene) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(probe_root(scene) / ".metadata" / "roots"))
        names.push_back(e.path().filename());
    EXPECT_EQ(names.size(), 1u);
    return names.empty() ? std::string() : names.front();
}

// The probe's first content file, relative to its root (a one-file probe has no other).
fs::path probe_file(const Scene& scene) {
    for (const auto& e : fs::recursive_directory_iterator(probe_root(scene))) {
        const fs::path relative = fs::relative(e.path(), probe_root(scene));
        if (e.is_regular_file() && *relative.begin() != ".metadata") return relative;
    }
    ADD_FAILURE() << "the probe has no content file";
    return {};
}

void plant_store_dirs(const Scene& scene) {
    fs::create_directories(scene.store() / ".metadata" / "roots");
}

// `outside` holds only the sentinel that SetUp put there, unchanged.
void expect_outside_untouched(const Scene& scene) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(scene.outside())) names.push_back(e.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"sentinel"});
    std::ifstream in(scene.outside() / "sentinel");
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "kept");
}

// No temporary content file (24 hex digits) is left in the store root.
void expect_no_temporary_file(const Scene& scene) {
    for (const auto& e : fs::directory_iterator(scene.store()))
        EXPECT_NE(e.path().filename().string().size(), 24u) << "left behind: " << e.path();
}

std::string marker_error(const Scene& scene, const std::string& tip) {
    return "error: writing the chain-tip marker at " +
           (scene.store() / ".metadata" / "roots" / tip).string() + ": not a regular file\n";
}

// Writing never leaves the store: a link or a fifo planted where gen writes a file, or a link
// planted where it needs a directory, ends the run with that step's error and nothing outside
// is created or changed. The root itself is the user's to name, a link included.
std::vector<HostileCase> write_cases() {
    const std::vector<std::string> no_files = {"gen", "--directory", "{store}", "--max-files", "0"};
    const std::vector<std::string> seeded = {"gen",         "--directory", "{store}", "--max-files", "3",
                                             "--file-size", "4KB",         "--seed",  "hostile"};
    const std::vector<std::string> one_file = {"gen",         "--directory", "{store}", "--max-files", "1",
                                               "--file-size", "4KB",         "--seed",  "hostile"};
    return {
        {"SymlinkAtTheMarkerOfARunWithoutFiles",
         [](const Scene& s) {
             plant_store_dirs(s);
             fs::create_symlink(s.outside() / "sentinel", s.store() / ".metadata" / "roots" / kZeroTip);
         },
         no_files, 1,
         [](const Scene& s, const KroResult& r) {
             EXPECT_EQ(r.err, marker_error(s, kZeroTip));
             expect_outside_untouched(s);
         }},
        {"SymlinkAtASeededRunsTip",
         [](const Scene& s) {
             make_probe(s, 3);
             plant_store_dirs(s);
             fs::create_symlink(s.outside() / "created", s.store() / ".metadata" / "roots" / probe_tip(s));
         },
         seeded, 1,
         [](const Scene& s, const KroResult& r) {
             EXPECT_EQ(r.err, marker_error(s, probe_tip(s)));
             expect_outside_untouched(s);
             EXPECT_FALSE(fs::exists(s.store() / ".metadata" / "all"));
         }},
        {"FifoAtTheMarker",
         [](const Scene& s) {
             plant_store_dirs(s);
             ASSERT_EQ(::mkfifo((s.store() / ".metadata" / "roots" / kZeroTip).c_str(), 0666), 0);
         },
         no_files, 1,
         [](const Scene& s, const KroResult& r) {
             EXPECT_EQ(r.err, marker_error(s, kZeroTip));
             expect_outside_untouched(s);
         }},
        {"SymlinkAtAShardDirectory",
         [](const Scene& s) {
             make_probe(s, 1);
             fs::create_directories(s.store());
             fs::create_directory_symlink(s.outside(), s.store() / *probe_file(s).begin());
         },
         one_file, 1,
         [](const Scene& s, const KroResult& r) {
             EXPECT_EQ(r.err, "error: creating the shard directory at " +
                                  (s.store() / probe_file(s).parent_path()).string() + ": Not a directory\n");
             expect_outside_untouched(s);
             expect_no_temporary_file(s);
         }},
        {"SymlinkAtTheMetadataDirectory",
         [](const Scene& s) {
             fs::create_directories(s.store());
             fs::create_directory_symlink(s.outside(), s.store() / ".metadata");
         },
         seeded, 1,
         [](const Scene& s, const KroResult& r) {
             EXPECT_EQ(r.err, "error: creating the chain-tip directory at " +
                                  (s.store() / ".metadata" / "roots").string() + ": Not a directory\n");
             expect_outside_untouched(s);
         }},
        {"SymlinkAtTheChainTipDirectory",
         [](const Scene& s) {
             fs::create_directories(s.store() / ".metadata");
             fs::create_directory_symlink(s.outside(), s.store() / ".metadata" / "roots");
         },
         no_files, 1,
         [](const Scene& s, const KroResult& r) {
             EXPECT_EQ(r.err, "error: creating the chain-tip directory at " +
                                  (s.store() / ".metadata" / "roots").string() + ": Not a directory\n");
             expect_outside_untouched(s);
             EXPECT_FALSE(fs::exists(s.store() / ".metadata" / "all"));
         }},
        // mkdir says "already exists" of a link to itself; what stops the run is the loop.
        {"RootThatIsALinkToItself", [](const Scene& s) { fs::create_symlink(s.store(), s.store()); },
         no_files, 1,
         [](const Scene& s, const KroResult& r) {
             EXPECT_EQ(r.err, "error: creating the store root at " + s.store().string() +
                                  ": Too many levels of symbolic links\n");
             expect_outside_untouched(s);
         }},
        {"RootThatIsALinkIsUsed",
         [](const Scene& s) {
             fs::create_directories(s.dir / "real");
             fs::create_directory_symlink(s.dir / "real", s.store());
         },
         seeded, 0,
         [](const Scene& s, const KroResult& r) {
             EXPECT_EQ(r.err, "");
             EXPECT_TRUE(fs::is_regular_file(s.dir / "real" / ".metadata" / "all"));
             expect_outside_untouched(s);
         }},
    };
}

std::vector<HostileCase> all_cases() {
    std::vector<HostileCase> cases;
    for (auto part : {read_cases, write_cases}) {
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
        std::ofstream(scene_.outside() / "sentinel") << "kept";
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
