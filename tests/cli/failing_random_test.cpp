// The built binary with an operating-system random source that fails however it is asked (a
// preloaded library refuses getrandom and the random devices): start-up never aborts, commands
// that need no randomness work, and each one that needs it fails with its own clean message.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "content_fixture.hpp"
#include "kro_process.hpp"

namespace kro::test {
namespace {

// An error line whose cause is what the preloaded library makes every request for randomness
// end with.
std::string refused(const std::string& context) {
    return context + ": Permission denied\n";
}

struct FailingRandomCase {
    std::string name;
    // Prepares the scratch directory with the random source intact.
    std::function<void(const fs::path& dir)> plant;
    // "{dir}" stands for the scratch directory.
    std::vector<std::string> args;
    int status;
    std::string out;  // exact; "{dir}" substituted
    std::string err;  // exact; "{dir}" substituted
};

void make_store(const fs::path& dir) {
    generate_store(dir / "store", format::FormatVersion::V3, 4096, 3);
}

void make_plain_file(const fs::path& dir) {
    write_file(dir / "file", std::vector<uint8_t>(1000, 0x5A));
}

void nothing(const fs::path&) {}

std::vector<FailingRandomCase> cases() {
    const std::string corrupting =
        "Corrupting file: {dir}/file\nPreset: random\nRange: bytes 0 to 99 (100 bytes)\n";
    return {
        {"VersionStarts", nothing, {"--version"}, 0, "kro, version 0.5.0\n", ""},
        {"VerifyOfAGoodStoreSucceeds",
         make_store,
         {"verify", "--directory", "{dir}/store", "--jobs", "2"},
         0,
         header_lines("{dir}/store") + std::string(VERIFY_PASSED),
         ""},
        {"SeededGenFailsOnItsTemporaryFileName",
         nothing,
         {"gen", "--directory", "{dir}/new", "--seed", "x", "--max-files", "1"},
         1,
         "",
         refused("error: creating a temporary file at {dir}/new")},
        {"UnseededGenFailsOnItsContentSeed",
         nothing,
         {"gen", "--directory", "{dir}/new", "--max-files", "1"},
         1,
         "",
         refused("error: operating-system random source failed")},
        {"UnseededGenFailsOnItsSizeSampler",
         nothing,
         {"gen", "--directory", "{dir}/new", "--max-files", "1", "--file-size", "1KB-4KB"},
         1,
         "",
         refused("error: seeding the file size sampler")},
        {"UnseededCorruptionFailsBeforeWriting",
         make_plain_file,
         {"dev", "corrupt-file", "{dir}/file"},
         1,
         corrupting,
         refused("Error: corrupting {dir}/file")},
        {"SeededCorruptionWorks",
         make_plain_file,
         {"dev", "corrupt-file", "{dir}/file", "--seed", "7"},
         0,
         corrupting + "Using random seed: 7\nFilled 100 bytes with random data\nCorruption complete.\n",
         ""},
    };
}

void PrintTo(const FailingRandomCase& c, std::ostream* out) {
    *out << c.name;
}

class FailingRandomSource : public ::testing::TestWithParam<FailingRandomCase> {};

TEST_P(FailingRandomSource, AffectsOnlyWhatNeedsRandomness) {
    const FailingRandomCase& c = GetParam();
    const ScratchDir dir;
    c.plant(dir.path());
    const std::vector<uint8_t> file_before =
        fs::exists(dir.path() / "file") ? read_file(dir.path() / "file") : std::vector<uint8_t>{};

    const std::map<std::string, std::string> names = {{"dir", dir.path()}};
    KroRun run;
    for (const std::string& arg : c.args) run.args.push_back(substitute(arg, names));
    run.env = shim_env({{"KRO_FAILING_CALLS", "random"}});
    const KroResult result = run_kro(run);

    EXPECT_EQ(result.status, c.status) << result.err;
    EXPECT_EQ(result.out, substitute(c.out, names));
    EXPECT_EQ(result.err, substitute(c.err, names));
    // A failed run writes no content file; an unseeded corruption leaves the file as it was.
    if (c.status != 0 && fs::exists(dir.path() / "new")) {
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path() / "new"), fs::directory_iterator()), 0);
    }
    if (c.status != 0 && !file_before.empty()) {
        EXPECT_EQ(read_file(dir.path() / "file"), file_before);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, FailingRandomSource, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<FailingRandomCase>& info) {
                             return info.param.name;
                         });

}  // namespace
}  // namespace kro::test
