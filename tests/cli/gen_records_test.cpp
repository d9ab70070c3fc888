// `gen` into stores whose chain-tip records it could not write at its end, and onto file systems
// without locks, through the built binary. A store the last step would refuse is refused before
// the first content file, with the last step's message, and nothing is written; where there are
// no locks the run goes on without one and leaves a store that verifies clean.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "content_fixture.hpp"
#include "kro_process.hpp"

namespace kro::test {
namespace {

namespace fs = std::filesystem;

// The user whose rights the file modes bind, where the tests run as root.
constexpr uint32_t NOBODY = 65534;

struct RecordsCase {
    std::string name;     // a valid test name
    bool existing_store;  // a store of two files is there before the run
    std::function<void(const fs::path& dir, const fs::path& store)> plant;
    std::map<std::string, std::string> shim;  // settings of the preloaded shim; none: no shim
    bool unprivileged;                        // run as a user without root's rights
    int status;
    std::string err;  // "{store}" stands for the store's path
};

void PrintTo(const RecordsCase& c, std::ostream* os) {
    *os << c.name;
}

std::string with_store(std::string text, const fs::path& store) {
    for (size_t at; (at = text.find("{store}")) != std::string::npos;) text.replace(at, 7, store.string());
    return text;
}

void set_mode(const fs::path& path, mode_t mode) {
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

// Hands the store to the unprivileged user, so that only the modes a case sets stand in its way.
void give_away(const fs::path& dir, const fs::path& store) {
    if (::geteuid() != 0) return;
    set_mode(dir, 0755);
    fs::create_directories(store);
    ASSERT_EQ(::chown(store.c_str(), NOBODY, NOBODY), 0);
    for (const auto& e : fs::recursive_directory_iterator(store))
        ASSERT_EQ(::lchown(e.path().c_str(), NOBODY, NOBODY), 0) << e.path();
}

std::vector<RecordsCase> records_cases() {
    const auto no_plant = [](const fs::path&, const fs::path&) {};
    const std::map<std::string, std::string> no_shim;
    return {
        // A store moved with its metadata kept elsewhere: verify accepts it, gen never follows
        // a link below the root.
        {"LinkAtTheMetadataDirectory", true,
         [](const fs::path& dir, const fs::path& store) {
             fs::rename(store / ".metadata", dir / "kept");
             fs::create_directory_symlink(dir / "kept", store / ".metadata");
         },
         no_shim, false, 1,
         "error: creating the chain-tip directory at {store}/.metadata/roots: Not a directory\n"},
        {"NoLocksInAStore", true, no_plant, {{"KRO_FAILING_CALLS", "flock"}}, false, 0, ""},
        {"NoLocksInANewStore", false, no_plant, {{"KRO_FAILING_CALLS", "flock"}}, false, 0, ""},
        {"LocksNotSupported",
         true,
         no_plant,
         {{"KRO_FAILING_CALLS", "flock"}, {"KRO_FLOCK_ERROR", std::to_string(EOPNOTSUPP)}},
         false,
         0,
         ""},
        {"LocksThatFail",
         true,
         no_plant,
         {{"KRO_FAILING_CALLS", "flock"}, {"KRO_FLOCK_ERROR", std::to_string(EIO)}},
         false,
         1,
         "error: locking the chain-tip records at {store}/.metadata/roots: Input/output error\n"},
        {"LocksThatFailInANewStore",
         false,
         no_plant,
         {{"KRO_FAILING_CALLS", "flock"}, {"KRO_FLOCK_ERROR", std::to_string(EIO)}},
         false,
         1,
         "error: locking the chain-tip records at {store}/.metadata/roots: Input/output error\n"},
        // Write and search, but no listing: no step of a run lists `.metadata` itself.
        {"MetadataThatCannotBeListed", true,
         [](const fs::path& dir, const fs::path& store) {
             give_away(dir, store);
             set_mode(store / ".metadata", 0333);
         },
         no_shim, true, 0, ""},
        {"ChainTipDirectoryThatCannotBeWritten", true,
         [](const fs::path& dir, const fs::path& store) {
             give_away(dir, store);
             set_mode(store / ".metadata" / "roots", 0555);
         },
         no_shim, true, 1,
         "error: writing the chain-tip marker at {store}/.metadata/roots: Permission denied\n"},
    };
}

class GenRecords : public ::testing::TestWithParam<RecordsCase> {};

TEST_P(GenRecords, RefusedBeforeTheFirstFileOrWrittenWithoutLocks) {
    const RecordsCase& c = GetParam();
    ScratchDir scratch;
    const fs::path store = scratch / "store";
    if (c.existing_store) kro_gen_store(store, 2, "4KB", "records");
    c.plant(scratch.path(), store);
    const std::vector<fs::path> before = fs::exists(store) ? content_files(store) : std::vector<fs::path>{};

    KroRun run;
    run.args = {"gen", "--directory", store.string(), "--max-files", "3", "--file-size", "4KB"};
    run.env = c.shim.empty() ? std::map<std::string, std::optional<std::string>>{{"TERM", std::nullopt},
                                                                                 {"NO_COLOR", std::nullopt}}
                             : shim_env(c.shim);
    if (c.unprivileged && ::geteuid() == 0) run.run_as = NOBODY;
    const KroResult result = run_kro(run);
    EXPECT_EQ(result.status, c.status) << result.err;
    EXPECT_EQ(result.err, with_store(c.err, store));
    EXPECT_EQ(temporary_files(store), std::vector<std::string>{});

    if (c.status != 0) {
        EXPECT_EQ(content_files(store), before) << "a refused run wrote content files";
        return;
    }
    EXPECT_EQ(content_files(store).size(), before.size() + 3);
    const KroResult verified = run_kro({"verify", "--directory", store.string()});
    EXPECT_EQ(verified.status, 0) << verified.err;
    EXPECT_EQ(verified.err, "");
}

INSTANTIATE_TEST_SUITE_P(Stores, GenRecords, ::testing::ValuesIn(records_cases()),
                         [](const ::testing::TestParamInfo<RecordsCase>& info) { return info.param.name; });

}  // namespace
}  // namespace kro::test
