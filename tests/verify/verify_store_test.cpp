#include "verify/verify_store.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <new>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "base/errors/error.hpp"
#include "support/scratch_dir.hpp"
#include "verify/schedule.hpp"
#include "verify/stage_names.hpp"
#include "verify_fixture.hpp"

namespace kro::verify {
namespace {

namespace fs = std::filesystem;
using format::FileId;
using format::FormatVersion;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using namespace kro::verify_testing;

std::string hex_of(const FileId& id) {
    return id.to_hex();
}
std::string shard(const FileId& id) {
    return id.shard_path().native();
}

FileId id_filled(uint8_t value) {
    FileId id;
    id.bytes.fill(value);
    return id;
}

// A sound v3 chain of three files, each spanning two 1 MiB blocks, in a fresh store. Public, so
// that the rows of a damage table can reach it.
class VerifyStoreFindingsTest : public ::testing::Test {
  public:
    VerifyStoreFindingsTest() : store_(dir_.path()) {
        ids_ = store_.add_chain(FormatVersion::V3, {LENGTH, LENGTH, LENGTH});
        store_.write_aggregate();
    }

    fs::path path(size_t i) const { return store_.path_of(ids_[i]); }
    const fs::path& root() const { return dir_.path(); }

    std::vector<std::string> run(uint64_t chunk_size = 4096, uint64_t jobs = 1) {
        auto report = verify_store(options_for(root(), chunk_size, jobs));
        if (!report) {
            ADD_FAILURE() << base::error_chain(report.error());
            return {};
        }
        EXPECT_EQ(report->files_checked, files_);
        return describe(report->issues, root());
    }

    std::string error_of_run() {
        auto report = verify_store(options_for(root()));
        if (report) return "no error";
        return base::error_chain(report.error());
    }

    std::string content_corrupted(size_t i, const std::string& regions, uint64_t actual_len = 0,
                                  const std::string& ids = "differ") const {
        const uint64_t expected_len = fs::file_size(path(i));
        return fmt::format("ContentCorrupted {} expected_len={} actual_len={} v3=true ids={} regions=[{}]",
                           shard(ids_[i]), LENGTH, actual_len == 0 ? expected_len : actual_len, ids, regions);
    }

    kro::testing::ScratchDir dir_;
    StoreBuilder store_;
    std::vector<FileId> ids_;
    static constexpr uint64_t LENGTH = 1048576 + 24000;
    uint64_t files_ = 3;
    // What a damage made or saw, for the findings it expects.
    std::vector<FileId> made_;
    std::string noted_;
};

TEST_F(VerifyStoreFindingsTest, SoundStoreHasNoIssue) {
    EXPECT_THAT(run(), IsEmpty());
    EXPECT_THAT(run(1), IsEmpty());
    EXPECT_THAT(run(67108864), IsEmpty());
}

TEST_F(VerifyStoreFindingsTest, CopyAtAnotherContentPathIsIntact) {
    const FileId other = id_filled(0x11);
    fs::create_directories(store_.path_of(other).parent_path());
    fs::copy_file(path(0), store_.path_of(other));
    files_ = 4;
    EXPECT_THAT(run(), ElementsAre(fmt::format("ContentCorrupted {0} expected_len={1} actual_len={1} v3=true "
                                               "ids=differ regions=[]",
                                               shard(other), LENGTH),
                                   "FileNotReferenced " + shard(other)));
    // The report names the file's true ID and tells the renderer that its content is sound.
    auto report = verify_store(options_for(root()));
    ASSERT_TRUE(report.has_value());
    const auto* issue = report->issues.front().get_if<Issue::ContentCorrupted>();
    ASSERT_NE(issue, nullptr);
    EXPECT_EQ(issue->report.actual_id, ids_[0]);
    EXPECT_EQ(issue->report.expected_id, other);
    EXPECT_TRUE(issue->report.is_intact());
}

// The store's damage, one way per row, and the findings the run must report, in order.
struct DamageCase {
    std::string name;  // a valid test name
    std::function<void(VerifyStoreFindingsTest&)> damage;
    std::function<std::vector<std::string>(const VerifyStoreFindingsTest&)> expected;
    uint64_t files;  // the files the run checks
};

void PrintTo(const DamageCase& c, std::ostream* out) {
    *out << c.name;
}

// 4096 bytes of reproducible noise.
std::vector<uint8_t> noise_block() {
    std::mt19937 rng(5);
    std::vector<uint8_t> noise(4096);
    for (auto& b : noise) b = static_cast<uint8_t>(rng());
    return noise;
}

std::string upper_case(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string missing_tip(const FileId& id) {
    return fmt::format("ChainTipNotFound .metadata/roots/{} {} {}", hex_of(id), shard(id), hex_of(id));
}

using Findings = std::vector<std::string>;
using T = VerifyStoreFindingsTest;

std::vector<DamageCase> damage_cases() {
    return {
        {"ZeroedRange", [](T& t) { fill_range(t.path(1), 8192, 16384, 0); },
         [](const T& t) { return Findings{t.content_corrupted(1, "ZeroFilled@8192+8192")}; }, 3},
        {"RepeatedByteAcrossTheBlockBoundary",
         [](T& t) { fill_range(t.path(1), 1048576 - 4096, 1048576 + 4096, 0x5A); },
         [](const T& t) { return Findings{t.content_corrupted(1, "RepeatedByte(5a)@1044480+8192")}; }, 3},
        {"FlippedBytesAreSparse",
         [](T& t) {
             flip_bytes(t.path(1), {100, 200, 300});
         },
         [](const T& t) { return Findings{t.content_corrupted(1, "Sparse(3)@60+4036")}; }, 3},
        {"AlignedDamage",
         [](T& t) {
             std::vector<uint64_t> offsets = {12288, 12288 + 512, 12288 + 1024, 12288 + 1536};
             for (uint64_t p = 12288 + 2048; p < 16384; ++p) offsets.push_back(p);
             flip_bytes(t.path(1), offsets);
         },
         [](const T& t) { return Findings{t.content_corrupted(1, "Aligned(512)@12288+4096")}; }, 3},
        {"RandomBytes",
         [](T& t) {
             const auto original = content_bytes(header_of(t.path(1)), 16384 - 60, 4096);
             const auto noise = noise_block();
             uint64_t differing = 0;
             for (size_t i = 0; i < noise.size(); ++i) differing += noise[i] != original[i];
             t.noted_ = fmt::format("Random({})@16384+4096", static_cast<double>(differing) / 4096.0);
             overwrite(t.path(1), 16384, noise);
         },
         [](const T& t) { return Findings{t.content_corrupted(1, t.noted_)}; }, 3},
        {"TruncatedFile", [](T& t) { truncate_file(t.path(1), 10000); },
         [](const T& t) {
             return Findings{
                 fmt::format("FileSizeMismatch {} expected={} actual=10000", shard(t.ids_[1]), T::LENGTH),
                 t.content_corrupted(1, fmt::format("Truncated({0})@10000+{0}", T::LENGTH - 10000), 10000)};
         },
         3},
        {"AppendedBytes", [](T& t) { append(t.path(2), std::vector<uint8_t>(100, 0)); },
         [](const T& t) {
             return Findings{
                 fmt::format("FileSizeMismatch {} expected={} actual={}", shard(t.ids_[2]), T::LENGTH,
                             T::LENGTH + 100),
                 t.content_corrupted(2, fmt::format("ExtraBytes(100)@{}+100", T::LENGTH), T::LENGTH + 100)};
         },
         3},
        {"V3ContentAlteredUnderItsOwnId",
         // A v3 file whose bytes were changed and which was then stored under the Merkle ID of the
         // changed bytes: the ID matches, the content does not.
         [](T& t) {
             const auto header = make_header(FormatVersion::V3, 5000, {}, 9);
             auto bytes = file_bytes(header);
             bytes[4000] ^= 1;
             const FileId id = id_of(bytes, FormatVersion::V3);
             write_file(t.store_.path_of(id), bytes);
             t.store_.mark_tip(id);
             t.store_.write_aggregate();
             t.made_ = {id};
         },
         [](const T& t) {
             return Findings{
                 fmt::format("ContentCorrupted {} expected_len=5000 actual_len=5000 v3=true "
                             "ids=same regions=[Sparse(1)@60+4036]",
                             shard(t.made_.at(0)))};
         },
         4},
        {"UpperCasePathIsNotCanonical",
         [](T& t) {
             const std::string upper = upper_case(shard(t.ids_[2]));
             fs::create_directories((t.root() / upper).parent_path());
             fs::rename(t.path(2), t.root() / upper);
         },
         // The tip's content is sound, but it no longer sits where its marker says.
         [](const T& t) { return Findings{missing_tip(t.ids_[2])}; }, 3},
        {"OneDirectoryTooDeep",
         [](T& t) {
             const fs::path deeper = t.root() / "xx" / t.ids_[0].shard_path();
             fs::create_directories(deeper.parent_path());
             fs::rename(t.path(0), deeper);
         },
         [](const T& t) {
             return Findings{fmt::format("ParentHashNotFound {} parent={} at {}", shard(t.ids_[1]),
                                         hex_of(t.ids_[0]), shard(t.ids_[0]))};
         },
         3},
        {"StrayFile", [](T& t) { write_file(t.root() / "notes.txt", std::vector<uint8_t>(10, 'x')); },
         [](const T&) {
             return Findings{"InvalidPathLayout notes.txt", "FileNotReferenced notes.txt"};
         },
         4},
        {"MissingParent", [](T& t) { fs::remove(t.path(0)); },
         [](const T& t) {
             return Findings{fmt::format("ParentHashNotFound {} parent={} at {}", shard(t.ids_[1]),
                                         hex_of(t.ids_[0]), shard(t.ids_[0]))};
         },
         2},
        {"V3ChildOfV2Parent",
         [](T& t) {
             const FileId parent = t.store_.add(make_header(FormatVersion::V2, 500, {}, 20));
             const FileId child = t.store_.add(make_header(FormatVersion::V3, 700, parent, 21));
             t.store_.mark_tip(child);
             t.store_.write_aggregate();
             t.made_ = {parent, child};
         },
         [](const T& t) {
             const FileId& parent = t.made_.at(0);
             const FileId& child = t.made_.at(1);
             return Findings{fmt::format("ChainFormatMismatch {} v3 child of v2 parent {} at {}",
                                         shard(child), hex_of(parent), shard(parent))};
         },
         5},
        {"MissingChainTips",
         [](T& t) {
             t.store_.mark_tip(id_filled(0xEE));
             t.store_.mark_tip(id_filled(0x22));
             t.store_.write_aggregate();
         },
         // Reported in ascending ID order whatever the listing order.
         [](const T&) {
             return Findings{missing_tip(id_filled(0x22)), missing_tip(id_filled(0xEE))};
         },
         3},
        {"MarkerNamesThatAreNotChainTips",
         [](T& t) {
             fs::remove(t.root() / ".metadata" / "roots" / hex_of(t.ids_[2]));
             t.store_.mark_tip_name(upper_case(hex_of(t.ids_[2])));
             t.store_.mark_tip_name(std::string(39, 'a'));
             t.store_.mark_tip_name(std::string(41, 'b'));
             t.store_.mark_tip_name(std::string(40, '0'));  // a tip that is never missing
             t.store_.mark_tip_name("\xff\xfe");
             t.store_.write_aggregate();  // every name counts for the aggregate
         },
         [](const T& t) { return Findings{"FileNotReferenced " + shard(t.ids_[2])}; }, 3},
        {"AggregateWithTrailingNewline",
         [](T& t) {
             auto contents = read_file(t.root() / ".metadata" / "all");
             ASSERT_EQ(contents.size(), 40u);
             t.noted_ = std::string(contents.begin(), contents.end());
             contents.push_back('\n');
             write_file(t.root() / ".metadata" / "all", contents);
         },
         [](const T& t) {
             return Findings{fmt::format("RootHashInvalid .metadata/all contents=\"{}\\n\" digest={}",
                                         t.noted_, t.noted_)};
         },
         3},
        {"LongAggregateShowsItsFirst41Bytes",
         // The right digits followed by a gigabyte of holes: only its start is read, and that is
         // what the finding holds.
         [](T& t) {
             const auto contents = read_file(t.root() / ".metadata" / "all");
             t.noted_ = std::string(contents.begin(), contents.end());
             fs::resize_file(t.root() / ".metadata" / "all", uint64_t{1} << 30);
         },
         [](const T& t) {
             return Findings{fmt::format("RootHashInvalid .metadata/all contents=\"{}\\x00\" digest={}",
                                         t.noted_, t.noted_)};
         },
         3},
        {"HeaderTruncatedFile",
         [](T& t) { write_file(t.store_.path_of(id_filled(0x33)), std::vector<uint8_t>(59, 7)); },
         [](const T&) {
             const std::string path = shard(id_filled(0x33));
             return Findings{"HeaderCorrupted " + path + ": header truncated: need 60 bytes, got 59",
                             "FileNotReferenced " + path};
         },
         4},
        {"MetadataBelowTheRootIsWalked",
         [](T& t) { write_file(t.root() / "aa" / ".metadata" / "x", std::vector<uint8_t>(1, 1)); },
         [](const T&) {
             return Findings{"InvalidPathLayout aa/.metadata/x", "FileNotReferenced aa/.metadata/x"};
         },
         4},
        {"SymbolicLinks",
         [](T& t) {
             fs::create_directory_symlink(t.path(0).parent_path(), t.root() / "dir-link");
             fs::create_symlink(t.path(0), t.root() / "file-link");
             fs::create_symlink(t.root() / "nowhere", t.root() / "dangling");
         },
         [](const T&) {
             return Findings{"InvalidPathLayout dangling", "InvalidPathLayout file-link",
                             "FileNotReferenced dangling", "FileNotReferenced file-link"};
         },
         5},
        // Untrusted entries: findings, never a hang or a crash.
        {"NonUtf8Names",
         [](T& t) {
             write_file(t.root() / "\xff\xfe", std::vector<uint8_t>(1, 1));
             // Hex-like, but not UTF-8 in its file name.
             write_file(t.root() / "ab" / "cd" / "ef" / (std::string(33, 'a') + "\xff"),
                        std::vector<uint8_t>(100, 1));
         },
         [](const T&) {
             const std::string odd = "ab/cd/ef/" + std::string(33, 'a') + "\xff";
             return Findings{"InvalidPathLayout " + odd, "InvalidPathLayout \xff\xfe",
                             "FileNotReferenced " + odd, "FileNotReferenced \xff\xfe"};
         },
         5},
        {"DeviceNodeIsNotRead",
         [](T& t) {
             const fs::path at = t.store_.path_of(id_filled(0x77));
             fs::create_directories(at.parent_path());
             fs::create_symlink("/dev/zero", at);
         },
         [](const T&) {
             const std::string path = shard(id_filled(0x77));
             return Findings{"HeaderCorrupted " + path + ": header truncated: need 60 bytes, got 0",
                             "FileNotReferenced " + path};
         },
         4},
    };
}

class VerifyStoreDamageTest : public VerifyStoreFindingsTest,
                              public ::testing::WithParamInterface<DamageCase> {};

TEST_P(VerifyStoreDamageTest, GivesItsFindings) {
    const DamageCase& c = GetParam();
    c.damage(*this);
    if (HasFatalFailure()) return;
    files_ = c.files;
    EXPECT_THAT(run(), ElementsAreArray(c.expected(*this)));
}

INSTANTIATE_TEST_SUITE_P(Cases, VerifyStoreDamageTest, ::testing::ValuesIn(damage_cases()),
                         [](const ::testing::TestParamInfo<DamageCase>& info) { return info.param.name; });

TEST_F(VerifyStoreFindingsTest, DamagedHeader) {
    flip_bytes(path(1), {25});  // inside the seed: the checksum no longer matches
    const auto result = run();
    ASSERT_EQ(result.size(), 2u);
    EXPECT_THAT(result[0],
                ::testing::StartsWith("HeaderCorrupted " + shard(ids_[1]) + ": header checksum mismatch"));
    // Its parent is unknown now, so the chain's root is no longer referenced.
    EXPECT_EQ(result[1], "FileNotReferenced " + shard(ids_[0]));
}

TEST_F(VerifyStoreFindingsTest, NestingLimit) {
    fs::path deep = root();
    for (int level = 1; level <= 64; ++level) deep /= "d";
    fs::create_directories(deep);
    write_file(deep / "f", std::vector<uint8_t>(3, 1));
    files_ = 4;
    const std::string rel = (deep / "f").lexically_relative(root()).native();
    EXPECT_THAT(run(), ElementsAre("InvalidPathLayout " + rel, "FileNotReferenced " + rel));

    fs::create_directory(deep / "e");
    EXPECT_EQ(error_of_run(),
              fmt::format("store directories nest more than 64 levels deep at {}", (deep / "e").native()));
}

TEST_F(VerifyStoreFindingsTest, ByteWiseFileOrder) {
    // "a-b" sorts before "a/b" because '-' (0x2D) is below '/' (0x2F).
    write_file(root() / "a" / "b", std::vector<uint8_t>(1, 1));
    write_file(root() / "a-b", std::vector<uint8_t>(1, 1));
    write_file(root() / "\xc3\xa9", std::vector<uint8_t>(1, 1));  // above every ASCII byte
    files_ = 6;
    const auto result = run();
    ASSERT_EQ(result.size(), 6u);
    EXPECT_EQ(result[0], "InvalidPathLayout a-b");
    EXPECT_EQ(result[1], "InvalidPathLayout a/b");
    EXPECT_EQ(result[2], "InvalidPathLayout \xc3\xa9");
}

TEST_F(VerifyStoreFindingsTest, SameReportForEveryBudget) {
    fill_range(path(1), 5000, 20000, 0);
    truncate_file(path(2), 2000);
    write_file(root() / "stray", std::vector<uint8_t>(1, 1));
    files_ = 4;
    const auto one = run(512, 1);
    EXPECT_EQ(one.size(), 5u);
    EXPECT_EQ(run(512, 2), one);
    EXPECT_EQ(run(512, 256), one);
}

TEST(VerifyStoreTest, MixedVersionsAndSizes) {
    kro::testing::ScratchDir dir;
    StoreBuilder store(dir.path());
    store.add_chain(FormatVersion::V3, {60, 61, 1048576, 1048577, 2 * 1048576 + 5});
    store.add_chain(FormatVersion::V2, {60, 4096, 1048576 + 7}, 50);
    store.write_aggregate();
    auto report = verify_store(options_for(dir.path()));
    ASSERT_TRUE(report.has_value()) << base::error_chain(report.error());
    EXPECT_THAT(describe(report->issues, dir.path()), IsEmpty());
    EXPECT_EQ(report->files_checked, 8u);
}

TEST(VerifyStoreTest, EmptyStore) {
    kro::testing::ScratchDir dir;
    StoreBuilder store(dir.path());
    store.mark_tip_name(std::string(40, '0'));
    store.mark_tip(id_filled(0x44));
    store.write_aggregate();
    auto report = verify_store(options_for(dir.path()));
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(report->files_checked, 0u);
    const FileId id = id_filled(0x44);
    EXPECT_THAT(describe(report->issues, dir.path()),
                ElementsAre(fmt::format("ChainTipNotFound .metadata/roots/{} {} {}", hex_of(id), shard(id),
                                        hex_of(id))));

    // The aggregate is read even when there are no files; without it the run fails.
    fs::remove(dir / ".metadata" / "all");
    auto failed = verify_store(options_for(dir.path()));
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(base::error_chain(failed.error()),
              fmt::format("reading the chain-tip aggregate at {}/.metadata/all: No such file or directory",
                          dir.path().native()));

    // An aggregate that is a directory is an I/O failure, not an empty aggregate.
    fs::create_directory(dir / ".metadata" / "all");
    auto directory = verify_store(options_for(dir.path()));
    ASSERT_FALSE(directory.has_value());
    EXPECT_EQ(base::error_chain(directory.error()),
              fmt::format("reading the chain-tip aggregate at {}/.metadata/all: Is a directory",
                          dir.path().native()));
}

TEST(VerifyStoreTest, NotAStore) {
    kro::testing::ScratchDir dir;
    const auto not_a_store = [](const fs::path& root) {
        auto report = verify_store(options_for(root));
        if (report) return std::string("a store");
        EXPECT_NE(report.error().get_if<VerifyErrorKind::NotAStore>(), nullptr);
        EXPECT_EQ(report.error().source(), nullptr);
        return base::error_chain(report.error());
    };
    const auto message = [](const fs::path& root) {
        return root.native() + " is not a valid KRO store (missing .metadata/roots directory)";
    };
    EXPECT_EQ(not_a_store(dir / "missing"), message(dir / "missing"));
    write_file(dir / "file", std::vector<uint8_t>(1, 1));
    EXPECT_EQ(not_a_store(dir / "file"), message(dir / "file"));
    fs::create_directories(dir / "bare" / ".metadata");
    EXPECT_EQ(not_a_store(dir / "bare"), message(dir / "bare"));
    write_file(dir / "bare" / ".metadata" / "roots", "");
    EXPECT_EQ(not_a_store(dir / "bare"), message(dir / "bare"));

    // A chain-tip directory reached through a symbolic link is accepted.
    fs::remove(dir / "bare" / ".metadata" / "roots");
    fs::create_directories(dir / "elsewhere");
    fs::create_directory_symlink(dir / "elsewhere", dir / "bare" / ".metadata" / "roots");
    StoreBuilder(dir / "bare").write_aggregate();
    auto report = verify_store(options_for(dir / "bare"));
    ASSERT_TRUE(report.has_value()) << base::error_chain(report.error());
    EXPECT_THAT(report->issues, IsEmpty());
}

// Options below their least values are refused before the store is read, even before it is
// found to be a store: chunks of 0 bytes would divide by zero in the first analysis.
TEST(VerifyStoreTest, OptionsBelowTheirMinimumAreRefusedFirst) {
    kro::testing::ScratchDir dir;
    StoreBuilder store(dir.path());
    const auto ids = store.add_chain(FormatVersion::V3, {5000});
    store.write_aggregate();
    overwrite(store.path_of(ids[0]), 100, std::vector<uint8_t>(10, 0));
    struct Case {
        uint64_t chunk_size;
        uint64_t jobs;
        fs::path root;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {0, 1, dir.path(), "invalid options: chunk_size is 0, below its minimum of 1"},
        {4096, 0, dir.path(), "invalid options: jobs is 0, below its minimum of 1"},
        {0, 0, dir / "missing", "invalid options: chunk_size is 0, below its minimum of 1"},
    };
    for (const Case& c : cases) {
        auto report = verify_store(options_for(c.root, c.chunk_size, c.jobs));
        ASSERT_FALSE(report.has_value());
        EXPECT_NE(report.error().get_if<VerifyErrorKind::InvalidOptions>(), nullptr);
        EXPECT_EQ(base::error_chain(report.error()), c.expected);
    }
    // The least values themselves run.
    auto report = verify_store(options_for(dir.path(), 1, 1));
    ASSERT_TRUE(report.has_value()) << base::error_chain(report.error());
    EXPECT_EQ(report->issues.size(), 1u);
}

TEST(VerifyStoreTest, RootGivenWithTrailingSlash) {
    kro::testing::ScratchDir dir;
    StoreBuilder store(dir.path());
    const auto ids = store.add_chain(FormatVersion::V2, {100, 200});
    store.write_aggregate();
    auto report = verify_store(options_for(dir.path().native() + "/"));
    ASSERT_TRUE(report.has_value());
    EXPECT_THAT(report->issues, IsEmpty());
}

// Memory that runs out outside the steps of one file (here while the files are handed to the
// workers of either group) fails the whole run; it never leaves a report without findings.
TEST(VerifyStoreTest, MemoryThatRunsOutBetweenFilesFailsTheRun) {
    struct OutOfMemoryAt : base::Hooks {
        explicit OutOfMemoryAt(base::StageName stage) : stage(stage) {}
        std::optional<base::IoError> before_item(base::StageName s, uint64_t) const override {
            if (s == stage) throw std::bad_alloc();
            return std::nullopt;
        }
        base::StageName stage;
    };
    kro::testing::ScratchDir dir;
    StoreBuilder store(dir.path());
    store.add_chain(FormatVersion::V3, {100, 200, 300});
    store.write_aggregate();
    // Three files on two workers: two in the head group, one in the tail group.
    for (const base::StageName stage : {verify::HEAD_WORKER, verify::TAIL_WORKER}) {
        const OutOfMemoryAt hooks(stage);
        auto options = options_for(dir.path(), 4096, 2);
        options.hooks = &hooks;
        const auto report = verify_store(options);
        ASSERT_FALSE(report.has_value()) << stage.text;
        EXPECT_EQ(base::error_chain(report.error()),
                  "verifying the store at " + dir.path().native() + ": out of memory")
            << stage.text;
    }
}

// Untrusted stores: odd entries must give findings or clear errors, never a hang or a crash.
class VerifyBadInputTest : public VerifyStoreFindingsTest {};

TEST_F(VerifyBadInputTest, HugeDeclaredLength) {
    for (const FormatVersion version : {FormatVersion::V2, FormatVersion::V3}) {
        kro::testing::ScratchDir dir;
        StoreBuilder store(dir.path());
        // A header that declares 2^64 - 1 bytes, on a file of 100 bytes, under the ID of the
        // bytes it really holds: only the length is wrong.
        const auto header = make_header(version, UINT64_MAX, {}, 3);
        auto bytes = file_bytes(make_header(version, 100, {}, 3));
        const auto encoded = header.encode();
        std::copy(encoded.begin(), encoded.end(), bytes.begin());
        const FileId own = id_of(bytes, version);
        write_file(store.path_of(own), bytes);
        // The same bytes under another name are analysed: the missing bytes form one region.
        const FileId other = id_filled(0x55);
        write_file(store.path_of(other), bytes);
        store.mark_tip(own);
        store.mark_tip(other);
        store.write_aggregate();
        auto report = verify_store(options_for(dir.path(), 67108864));
        ASSERT_TRUE(report.has_value());
        const std::string v3 = version == FormatVersion::V3 ? "true" : "false";
        const std::string own_first = shard(own) < shard(other) ? shard(own) : shard(other);
        std::vector<std::string> expected = {
            fmt::format("FileSizeMismatch {} expected=18446744073709551615 actual=100", shard(other)),
            fmt::format(
                "ContentCorrupted {} expected_len=18446744073709551615 actual_len=100 v3={} ids=differ "
                "regions=[Truncated(18446744073709551515)@100+18446744073709551515]",
                shard(other), v3),
        };
        const std::string own_mismatch =
            fmt::format("FileSizeMismatch {} expected=18446744073709551615 actual=100", shard(own));
        if (own_first == shard(own)) {
            expected.insert(expected.begin(), own_mismatch);
        } else {
            expected.push_back(own_mismatch);
        }
        EXPECT_EQ(describe(report->issues, dir.path()), expected);
    }
}

TEST_F(VerifyBadInputTest, FifosDoNotBlock) {
    const FileId id = id_filled(0x66);
    fs::create_directories(store_.path_of(id).parent_path());
    ASSERT_EQ(::mkfifo(store_.path_of(id).c_str(), 0644), 0);
    ASSERT_EQ(::mkfifo((root() / "pipe").c_str(), 0644), 0);
    files_ = 5;
    EXPECT_THAT(
        run(),
        ElementsAre("HeaderCorrupted " + shard(id) + ": header truncated: need 60 bytes, got 0",
                    "InvalidPathLayout pipe", "FileNotReferenced " + shard(id), "FileNotReferenced pipe"));

    // An aggregate that is a fifo is not a valid aggregate, and is not waited for.
    fs::remove(root() / ".metadata" / "all");
    ASSERT_EQ(::mkfifo((root() / ".metadata" / "all").c_str(), 0644), 0);
    const auto result = run();
    ASSERT_FALSE(result.empty());
    EXPECT_THAT(result.back(), ::testing::StartsWith("RootHashInvalid .metadata/all contents=\"\""));
}

TEST_F(VerifyBadInputTest, SocketsReadAsEmpty) {
    // A socket holds no stored bytes, like a fifo or a device: at a content path and as the
    // aggregate it is a finding, never the end of the run.
    const FileId id = id_filled(0x88);
    fs::create_directories(store_.path_of(id).parent_path());
    const auto bind_socket = [](const fs::path& path) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        EXPECT_GE(fd, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        // Bind through a short relative name: socket paths are limited to about 100 bytes.
        const fs::path previous = fs::current_path();
        fs::current_path(path.parent_path());
        const std::string name = path.filename().native();
        std::copy(name.begin(), name.end(), address.sun_path);
        EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
        fs::current_path(previous);
        return fd;
    };
    const int content = bind_socket(store_.path_of(id));
    files_ = 4;
    EXPECT_THAT(run(),
                ElementsAre("HeaderCorrupted " + shard(id) + ": header truncated: need 60 bytes, got 0",
                            "FileNotReferenced " + shard(id)));

    fs::remove(root() / ".metadata" / "all");
    const int aggregate = bind_socket(root() / ".metadata" / "all");
    const auto result = run();
    ASSERT_FALSE(result.empty());
    EXPECT_THAT(result.back(), ::testing::StartsWith("RootHashInvalid .metadata/all contents=\"\""));
    ::close(content);
    ::close(aggregate);
}

TEST_F(VerifyBadInputTest, UnopenableFilesAreClearErrors) {
    // A dangling link or a link loop at a content path cannot be opened: the run stops with the
    // path and the system's reason.
    const FileId id = id_filled(0x99);
    fs::create_directories(store_.path_of(id).parent_path());
    fs::create_symlink(store_.path_of(id), store_.path_of(id));
    EXPECT_EQ(error_of_run(), fmt::format("opening a data file at {}: Too many levels of symbolic links",
                                          store_.path_of(id).native()));
    fs::remove(store_.path_of(id));
    fs::create_symlink(root() / "nowhere", store_.path_of(id));
    EXPECT_EQ(error_of_run(), fmt::format("opening a data file at {}: No such file or directory",
                                          store_.path_of(id).native()));
}

// The run's error text, from a child process that runs without the permissions of root (which
// would read any file).
std::string error_without_privileges(const fs::path& root) {
    if (::geteuid() != 0) {
        auto report = verify_store(options_for(root));
        return report ? "no error" : base::error_chain(report.error());
    }
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) return "pipe failed";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipe_fds[0]);
        std::string text = "cannot drop privileges";
        if (::setgid(65534) == 0 && ::setuid(65534) == 0) {
            auto report = verify_store(options_for(root));
            text = report ? "no error" : base::error_chain(report.error());
        }
        (void)!::write(pipe_fds[1], text.data(), text.size());
        ::_exit(0);
    }
    ::close(pipe_fds[1]);
    std::string text;
    char buffer[512];
    ssize_t n;
    while ((n = ::read(pipe_fds[0], buffer, sizeof(buffer))) > 0) text.append(buffer, static_cast<size_t>(n));
    ::close(pipe_fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return text;
}

TEST_F(VerifyBadInputTest, UnreadableFileAndDirectory) {
    // Everything readable by others, except what each case takes away.
    for (const auto& entry : fs::recursive_directory_iterator(root())) {
        fs::permissions(entry.path(), entry.is_directory() ? fs::perms::all
                                                           : fs::perms::owner_all | fs::perms::others_read);
    }
    fs::permissions(root(), fs::perms::all);
    fs::permissions(path(1), fs::perms::owner_all);
    EXPECT_EQ(error_without_privileges(root()),
              fmt::format("opening a data file at {}: Permission denied", path(1).native()));
    fs::permissions(path(1), fs::perms::owner_all | fs::perms::others_read);
    fs::permissions(path(0).parent_path(), fs::perms::owner_all);
    EXPECT_EQ(
        error_without_privileges(root()),
        fmt::format("listing a store directory at {}: Permission denied", path(0).parent_path().native()));
    fs::permissions(path(0).parent_path(), fs::perms::all);

    const fs::path meta = root() / ".metadata";
    fs::permissions(meta / "all", fs::perms::owner_all);
    EXPECT_EQ(
        error_without_privileges(root()),
        fmt::format("reading the chain-tip aggregate at {}: Permission denied", (meta / "all").native()));
    fs::permissions(meta / "roots", fs::perms::owner_all | fs::perms::others_exec);
    EXPECT_EQ(
        error_without_privileges(root()),
        fmt::format("listing the chain-tip markers at {}: Permission denied", (meta / "roots").native()));
    fs::permissions(meta, fs::perms::owner_all);
    EXPECT_EQ(
        error_without_privileges(root()),
        fmt::format("reading the chain-tip directory at {}: Permission denied", (meta / "roots").native()));
    fs::permissions(meta, fs::perms::all);
}

TEST_F(VerifyBadInputTest, ArbitraryHeaderBytes) {
    std::mt19937 rng(11);
    std::vector<FileId> ids;
    for (uint8_t i = 0; i < 8; ++i) {
        std::vector<uint8_t> bytes(60 + i * 13);
        for (auto& b : bytes) b = static_cast<uint8_t>(rng());
        const FileId id = id_filled(static_cast<uint8_t>(0xA0 + i));
        write_file(store_.path_of(id), bytes);
        ids.push_back(id);
    }
    files_ = 11;
    const auto result = run();
    ASSERT_EQ(result.size(), 16u);
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_THAT(result[i], ::testing::StartsWith("HeaderCorrupted " + shard(ids[i]) + ": "));
    }
}

}  // namespace
}  // namespace kro::verify
