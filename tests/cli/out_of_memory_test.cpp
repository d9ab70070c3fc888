// `kro verify` where memory runs out at a step of its own: the run ends with that step's error and
// status 1, never with a verdict of success nor with an abort. Memory runs out either because the
// step needs more than the child's address space holds, or because the preloaded library
// (tests/cli/preload_shim_new.cpp) refuses every large allocation.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/fd.hpp"
#include "content_fixture.hpp"
#include "format/file_id.hpp"
#include "format/header.hpp"
#include "format/hex.hpp"
#include "format/store_layout.hpp"
#include "format/store_path.hpp"
#include "kro_process.hpp"

namespace kro::test {
namespace {

constexpr uint64_t MiB = 1048576;

// A store without chain tips: an empty chain-tip directory and the aggregate over no markers.
void make_empty_store(const fs::path& store) {
    fs::create_directories(store / ".metadata" / "roots");
    write_file(store / ".metadata" / "all", format::encode_hex(format::chain_tip_aggregate_of({})));
}

struct MemoryCase {
    std::string name;  // a valid test name
    // Makes the store at the path given; returns what the expected error names ("{file}").
    std::function<fs::path(const fs::path& store)> plant;
    std::vector<std::string> args;  // "{store}" stands for the store
    // The child's address space; none for the cases of the preloaded library.
    std::optional<uint64_t> address_space_limit;
    // KRO_LARGE_NEW for the preloaded library; none for the address-space cases.
    std::optional<uint64_t> large_new;
    std::string chunk;  // the chunk size as the header line shows it
    std::string err;    // exact; "{file}" substituted
};

// The walk holds every path it finds: 8,000 names at the bottom of 60 directories of 250-byte
// names, each path 15 KB long, are more than 64 MiB of address space holds.
fs::path plant_long_walk(const fs::path& store) {
    make_empty_store(store);
    base::UniqueFd deepest;
    make_deep_dirs(store, 60, deepest, [](int) { return std::string(250, 'd'); });
    const base::UniqueFd first(::openat(deepest.get(), "f0", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!first.valid()) throw std::runtime_error("cannot create the first file");
    for (int i = 1; i < 8000; ++i) {
        const std::string name = "f" + std::to_string(i);
        if (::linkat(deepest.get(), "f0", deepest.get(), name.c_str(), 0) != 0)
            throw std::runtime_error("linkat failed");
    }
    return store;
}

// A damaged v3 file of 64 MiB past its header (which holds a hole) analysed in chunks of as
// much: the first of the analysis's two 64 MiB buffers fits into 110 MiB of address space, the
// second does not.
fs::path plant_one_large_damaged_file(const fs::path& store) {
    make_empty_store(store);
    format::FileId id;
    id.bytes.fill(0x5a);
    const fs::path file = format::store_path_of(store, id);
    const uint64_t length = 64 * MiB + format::HEADER_LEN;
    const auto header =
        format::Header::make(format::FileId{}, format::ContentSeed{}, length, format::FormatVersion::V3);
    const format::HeaderBytes bytes = header.value().encode();
    write_file(file, std::vector<uint8_t>(bytes.begin(), bytes.end()));
    fs::resize_file(file, length);
    return file;
}

// One stray file at the bottom of 24 directories whose names are control characters. Its path is
// 6 KB long; its visible form in the report, each control character as four, is 24 KB. Until
// the report no block of 16 KiB is needed (the largest, the walk's list of paths, holds 12 KB):
// should a step come to need one, deeper directories raise the lengths and the limit with it.
fs::path plant_long_invisible_path(const fs::path& store) {
    make_empty_store(store);
    const std::string name(250, '\x01');
    base::UniqueFd deepest;
    make_deep_dirs(store, 24, deepest, [&name](int) { return name; });
    const base::UniqueFd file(
        ::openat(deepest.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!file.valid()) throw std::runtime_error("cannot create the stray file");
    return store;
}

std::vector<MemoryCase> cases() {
    return {
        {"TheStoreWalk",
         plant_long_walk,
         {"verify", "--directory", "{store}", "--jobs", "1"},
         64 * MiB,
         std::nullopt,
         "4,096",
         "ERROR: verifying the store at {file}: out of memory\n"},
        {"TheSecondAnalysisBuffer",
         plant_one_large_damaged_file,
         {"verify", "--directory", "{store}", "--jobs", "1", "--chunk-size", std::to_string(64 * MiB)},
         110 * MiB,
         std::nullopt,
         "67,108,864",
         "ERROR: analyzing a corrupted file at {file}: out of memory\n"},
        {"PrintingTheReport",
         plant_long_invisible_path,
         {"verify", "--directory", "{store}", "--jobs", "1"},
         std::nullopt,
         16384,
         "4,096",
         "ERROR: printing the report: out of memory\n"},
    };
}

void PrintTo(const MemoryCase& c, std::ostream* out) {
    *out << c.name;
}

class MemoryRunsOut : public ::testing::TestWithParam<MemoryCase> {};

TEST_P(MemoryRunsOut, AtAStepOfVerifyIsThatStepsError) {
    const MemoryCase& c = GetParam();
    if (c.address_space_limit && !address_space_limits_work())
        GTEST_SKIP() << "sanitizers reserve more address space than the limit";
    const ScratchDir dir;
    const fs::path store = dir / "store";
    const fs::path named = c.plant(store);
    KroRun run;
    for (const std::string& arg : c.args) run.args.push_back(substitute(arg, {{"store", store}}));
    if (c.large_new) {
        run.env =
            shim_env({{"KRO_FAILING_CALLS", "large-new"}, {"KRO_LARGE_NEW", std::to_string(*c.large_new)}});
    } else {
        run.env = {{"TERM", std::nullopt}, {"NO_COLOR", std::nullopt}};
        run.address_space_limit = c.address_space_limit;
    }
    const KroResult result = run_kro(run);
    EXPECT_EQ(result.status, 1) << result.out << result.err;
    EXPECT_EQ(result.err, substitute(c.err, {{"file", named}}));
    EXPECT_EQ(result.out, header_lines(store.string(), c.chunk) + std::string(VERIFY_FAILED));
}

INSTANTIATE_TEST_SUITE_P(Cases, MemoryRunsOut, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<MemoryCase>& info) { return info.param.name; });

}  // namespace
}  // namespace kro::test
