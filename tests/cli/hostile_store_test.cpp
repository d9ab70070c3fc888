// Stores and files shaped by an attacker, given to the built binary. Each row plants its input
// in a fresh scratch directory, runs kro once and states the exact outcome: the exit status,
// what was printed, and that nothing outside the store was created or changed.

#include <fcntl.h>
#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/fd.hpp"
#include "content_fixture.hpp"
#include "format/hex.hpp"
#include "format/store_layout.hpp"
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
    // The kro arguments; "{store}", "{outside}" and "{dir}" stand for those paths.
    std::vector<std::string> args;
    int status;
    std::function<void(const Scene&, const KroResult&)> expect;
};

// A v3 store of `count` files of 4 KB made by kro itself, the same on every run.
void make_store(const fs::path& root, int count) {
    kro_gen_store(root, count, "4KB", "hostile");
}

// The only content file of a store.
fs::path only_file(const fs::path& root) {
    const std::vector<fs::path> files = content_files(root);
    EXPECT_EQ(files.size(), 1u) << root;
    return files.empty() ? fs::path() : files.front();
}

// The names of `count` chain-tip markers whose IDs share their first eight bytes, in ascending order.
std::vector<std::string> colliding_marker_names(int count) {
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) names.push_back(fmt::format("0123456789abcdef{:024x}", i * 7919));
    return names;
}

// Those markers and the aggregate over them: a store of nothing else.
void plant_colliding_markers(const Scene& scene, int count) {
    const fs::path roots = scene.store() / ".metadata" / "roots";
    fs::create_directories(roots);
    std::vector<std::string> names = colliding_marker_names(count);
    for (const std::string& name : names) write_file(roots / name, "");
    write_file(scene.store() / ".metadata" / "all",
               format::encode_hex(format::chain_tip_aggregate_of(names)));
}

// Reading follows what the user linked: a `.metadata/roots` that is a link to a directory
// elsewhere is read through.
std::vector<HostileCase> read_cases() {
    return {
        {"LinkedChainTipDirectoryIsReadThrough",
         [](const Scene& s) {
             make_store(s.store(), 3);
             fs::rename(s.store() / ".metadata" / "roots", s.outside() / "roots");
             fs::create_directory_symlink(s.outside() / "roots", s.store() / ".metadata" / "roots");
         },
         {"verify", "--directory", "{store}", "--jobs", "1"},
         0,
         [](const Scene&, const KroResult& r) { EXPECT_EQ(r.err, ""); }},
    };
}

// A name that would clear the screen, forge a finding on a line of its own, ring the bell and
// open a control sequence (C1 CSI, U+009B) if it reached the terminal raw; and its visible form.
const std::string FORGING_NAME = "a\x1b[2Jb\nCORRUPTION: forged\x07\xc2\x9b";
const std::string FORGING_SHOWN = "a\\x1b[2Jb\\x0aCORRUPTION: forged\\x07\\u{9b}";
// A store directory whose name would retitle the terminal window.
const std::string RETITLING_DIR = "st\x1b]0;owned\x07ore";
const std::string RETITLING_SHOWN = "st\\x1b]0;owned\\x07ore";

// A name of characters that reorder, hide or break text (a right-to-left override, a zero-width
// space, the line and paragraph separators, a soft hyphen, a tag letter, a byte order mark), and
// its visible form.
const std::string INVISIBLE_NAME = "a\u202Eb\u200Bc\u2028d\u2029e\u00ADf\U000E0041g\uFEFF";
const std::string INVISIBLE_SHOWN = "a\\u{202e}b\\u{200b}c\\u{2028}d\\u{2029}e\\u{ad}f\\u{e0041}g\\u{feff}";
// A store directory whose name would reverse the rest of every finding line about it.
const std::string REVERSING_DIR = "st\u202Eore";
const std::string REVERSING_SHOWN = "st\\u{202e}ore";

// Nothing but printable text and line ends reached the terminal.
void expect_no_raw_controls(const std::string& text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        EXPECT_FALSE((byte < 0x20 && c != '\n') || byte == 0x7F)
            << "raw control byte " << int(byte) << " in " << text;
    }
    EXPECT_EQ(text.find("\xc2\x9b"), std::string::npos) << text;
}

// Names read from the file system, and paths typed by the user, reach the terminal only in their
// display form: each control character visible, every other byte of valid UTF-8 as it is; and a
// store directory may have any name the file system accepts.
std::vector<HostileCase> text_cases() {
    return {
        {"ControlCharactersOfAStrayNameAreShownVisibly",
         [](const Scene& s) {
             make_store(s.store(), 2);
             write_file(s.store() / FORGING_NAME, std::vector<uint8_t>{'x'});
         },
         {"verify", "--directory", "{store}", "--jobs", "1"},
         1,
         [](const Scene& s, const KroResult& r) {
             const std::string shown = s.store().string() + "/" + FORGING_SHOWN;
             EXPECT_EQ(r.err, "ERROR: Invalid KRO path layout: " + shown +
                                  "\nORPHAN: File not referenced by any files: " + shown + "\n");
             EXPECT_EQ(r.out, header_lines(s.store().string()) + std::string(VERIFY_FAILED));
         }},
        {"ControlCharactersOfTheStoreDirectoryAreShownVisibly",
         [](const Scene& s) {
             make_store(s.dir / RETITLING_DIR, 2);
             const fs::path damaged = content_files(s.dir / RETITLING_DIR).front();
             std::vector<uint8_t> bytes = read_file(damaged);
             std::fill_n(bytes.begin() + 100, 10, uint8_t{0});
             write_file(damaged, bytes);
         },
         {"verify", "--directory", "{dir}/" + RETITLING_DIR, "--jobs", "1"},
         1,
         [](const Scene& s, const KroResult& r) {
             const fs::path damaged = content_files(s.dir / RETITLING_DIR).front();
             const std::string shown_dir = s.dir.string() + "/" + RETITLING_SHOWN;
             const std::string shown =
                 shown_dir + damaged.string().substr((s.dir / RETITLING_DIR).string().size());
             const format::FileId actual = file_id_of(read_file(damaged), format::FormatVersion::V3);
             EXPECT_EQ(r.err, "CORRUPTION: Invalid file ID for file \"" + shown +
                                  "\": actual KRO-Merkle-BLAKE3-160 " + actual.to_hex() + "\n");
             EXPECT_TRUE(r.out.starts_with(header_lines(shown_dir))) << r.out;
             EXPECT_NE(r.out.find("\nFile: " + shown + "\n"), std::string::npos) << r.out;
             expect_no_raw_controls(r.out);
         }},
        {"ControlCharactersOfAMissingStoreAreShownVisiblyInTheError",
         [](const Scene&) {},
         {"verify", "--directory", "{dir}/e\x1b[2Jf"},
         1,
         [](const Scene& s, const KroResult& r) {
             const std::string shown = s.dir.string() + "/e\\x1b[2Jf";
             EXPECT_EQ(r.out, header_lines(shown) + std::string(VERIFY_FAILED));
             EXPECT_EQ(r.err,
                       "ERROR: " + shown + " is not a valid KRO store (missing .metadata/roots directory)\n");
         }},
        {"ControlCharactersOfAGenerationPathAreShownVisiblyInTheError",
         [](const Scene& s) { write_file(s.dir / "x\x1b", std::vector<uint8_t>{'x'}); },
         {"gen", "--directory", "{dir}/x\x1b/sub", "--max-files", "1"},
         1,
         [](const Scene& s, const KroResult& r) {
             EXPECT_EQ(r.out, "");
             EXPECT_EQ(r.err, "error: creating the store root at " + s.dir.string() +
                                  "/x\\x1b/sub: Not a directory\n");
         }},
        {"ControlCharactersOfAShownFileAreShownVisibly",
         [](const Scene& s) {
             make_store(s.store(), 1);
             fs::copy_file(content_files(s.store()).front(), s.dir / FORGING_NAME);
         },
         {"dev", "show", "{dir}/" + FORGING_NAME, "--verify-checksum"},
         1,
         [](const Scene& s, const KroResult& r) {
             EXPECT_TRUE(r.out.starts_with("File: " + s.dir.string() + "/" + FORGING_SHOWN +
                                           "\nActual size: 4,096 bytes\n\n"))
                 << r.out;
             EXPECT_TRUE(r.out.ends_with(
                 "  Expected (from path): <unavailable: not in KRO layout>\n"
                 "  Actual: " +
                 file_id_of(read_file(s.dir / FORGING_NAME), format::FormatVersion::V3).to_hex() +
                 "\n  Matches: no\n"))
                 << r.out;
             expect_no_raw_controls(r.out);
             EXPECT_EQ(r.err, "");
         }},
        {"ControlCharactersOfACorruptedFileAreShownVisibly",
         [](const Scene& s) { write_file(s.dir / FORGING_NAME, std::vector<uint8_t>(100, 0x5A)); },
         {"dev", "corrupt-file", "{dir}/" + FORGING_NAME, "--preset", "zero", "--length", "10"},
         0,
         [](const Scene& s, const KroResult& r) {
             EXPECT_EQ(r.out, "Corrupting file: " + s.dir.string() + "/" + FORGING_SHOWN +
                                  "\nPreset: zero\nRange: bytes 0 to 9 (10 bytes)\nZeroed out 10 bytes\n"
                                  "Corruption complete.\n");
             EXPECT_EQ(r.err, "");
         }},
        {"NonUtf8DirectoryIsAcceptedByGen",
         [](const Scene&) {},
         {"gen", "--directory", "{dir}/st\xffore", "--max-files", "2", "--seed", "hostile"},
         0,
         [](const Scene& s, const KroResult& r) {
             EXPECT_EQ(r.err, "");
             EXPECT_EQ(content_files(s.dir / "st\xffore").size(), 2u);
             EXPECT_TRUE(fs::is_regular_file(s.dir / "st\xffore" / ".metadata" / "all"));
         }},
        {"NonUtf8DirectoryIsAcceptedByVerify",
         [](const Scene& s) { make_store(s.dir / "st\xffore", 2); },
         {"verify", "--directory={dir}/st\xffore"},
         0,
         [](const Scene& s, const KroResult& r) {
             EXPECT_EQ(r.out,
                       header_lines(s.dir.string() + "/st\xef\xbf\xbdore") + std::string(VERIFY_PASSED));
             EXPECT_EQ(r.err, "");
         }},
        {"FormatCharactersAndSeparatorsOfAStrayNameAreShownVisibly",
         [](const Scene& s) {
             make_store(s.store(), 2);
             write_file(s.store() / INVISIBLE_NAME, std::vector<uint8_t>{'x'});
         },
         {"verify", "--directory", "{store}", "--jobs", "1"},
         1,
         [](const Scene& s, const KroResult& r) {
             const std::string shown = s.store().string() + "/" + INVISIBLE_SHOWN;
             EXPECT_EQ(r.err, "ERROR: Invalid KRO path layout: " + shown +
                                  "\nORPHAN: File not referenced by any files: " + shown + "\n");
             EXPECT_EQ(r.out, header_lines(s.store().string()) + std::string(VERIFY_FAILED));
         }},
        {"ZeroWidthSpaceCannotMakeAStrayFileLookGenuine",
         [](const Scene& s) {
             make_store(s.store(), 1);
             const fs::path genuine = only_file(s.store());
             fs::copy_file(genuine, genuine.string() + "\u200B");
         },
         {"verify", "--directory", "{store}", "--jobs", "1"},
         1,
         [](const Scene& s, const KroResult& r) {
             const std::string shown = content_files(s.store()).front().string() + "\\u{200b}";
             EXPECT_EQ(r.err, "ERROR: Invalid KRO path layout: " + shown +
                                  "\nORPHAN: File not referenced by any files: " + shown + "\n");
             EXPECT_EQ(r.out, header_lines(s.store().string()) + std::string(VERIFY_FAILED));
         }},
        {"RightToLeftOverrideOfTheStoreDirectoryIsShownVisibly",
         [](const Scene& s) {
             make_store(s.dir / REVERSING_DIR, 2);
             fs::resize_file(content_files(s.dir / REVERSING_DIR).front(), 1000);
         },
         {"verify", "--directory", "{dir}/" + REVERSING_DIR, "--jobs", "1"},
         1,
         [](const Scene& s, const KroResult& r) {
             const fs::path damaged = content_files(s.dir / REVERSING_DIR).front();
             const std::string shown_dir = s.dir.string() + "/" + REVERSING_SHOWN;
             const std::string shown =
                 shown_dir + damaged.string().substr((s.dir / REVERSING_DIR).string().size());
             const format::FileId actual = file_id_of(read_file(damaged), format::FormatVersion::V3);
             EXPECT_EQ(r.err, "CORRUPTION: File size mismatch in " + shown +
                                  ": expected 4096, got 1000\n"
                                  "CORRUPTION: Invalid file ID for file \"" +
                                  shown + "\": actual KRO-Merkle-BLAKE3-160 " + actual.to_hex() + "\n");
             EXPECT_TRUE(r.out.starts_with(header_lines(shown_dir))) << r.out;
             EXPECT_NE(r.out.find("\nFile: " + shown + "\n"), std::string::npos) << r.out;
             EXPECT_EQ(r.out.find("\u202E"), std::string::npos) << r.out;
         }},
        {"FifoGivenToShowReadsAsEmpty",
         [](const Scene& s) { ASSERT_EQ(::mkfifo((s.dir / "fifo").c_str(), 0600), 0); },
         {"dev", "show", "{dir}/fifo", "--verify-checksum"},
         1,
         [](const Scene&, const KroResult& r) {
             EXPECT_EQ(r.out, "");
             EXPECT_EQ(r.err,
                       "Error: File is too small to be a KRO file: expected at least 60 bytes, got 0.\n");
         }},
        {"FifoGivenToCorruptFileIsNeverOpened",
         [](const Scene& s) { ASSERT_EQ(::mkfifo((s.dir / "fifo").c_str(), 0600), 0); },
         {"dev", "corrupt-file", "{dir}/fifo", "--preset", "zero"},
         2,
         [](const Scene& s, const KroResult& r) {
             EXPECT_EQ(r.out, "Corrupting file: " + (s.dir / "fifo").string() +
                                  "\nPreset: zero\nRange: bytes 0 to 99 (100 bytes)\n");
             EXPECT_EQ(r.err, "Error: Start offset 0 is beyond file size 0\n");
         }},
    };
}

// Stores that make kro's own work expensive: what they cost must not grow with what the store
// chooses (memory for the aggregate, hash-table collisions), and the cheap way through a damaged
// file gives what the others give.
std::vector<HostileCase> cost_cases() {
    return {
        {"HugeAggregateIsReadOnlyToItsStart",
         [](const Scene& s) {
             make_store(s.store(), 3);
             // The right 40 digits, then 1 GiB of holes.
             fs::resize_file(s.store() / ".metadata" / "all", uint64_t{1} << 30);
         },
         {"verify", "--directory", "{store}", "--jobs", "2"},
         1,
         [](const Scene& s, const KroResult& r) {
             EXPECT_EQ(r.err, "CORRUPTION: Root hash is not valid, roots are missing.\n");
             EXPECT_EQ(r.out, header_lines(s.store().string()) + std::string(VERIFY_FAILED));
         }},
        {"CollidingIdPrefixesAreStillEveryOneReported",
         [](const Scene& s) { plant_colliding_markers(s, 400); },
         {"verify", "--directory", "{store}"},
         1,
         [](const Scene& s, const KroResult& r) {
             std::string expected;
             for (const std::string& name : colliding_marker_names(400)) {
                 expected +=
                     fmt::format("CORRUPTION: Chain tip not found: {}/{}/{}/{}/{}\n", s.store().string(),
                                 name.substr(0, 2), name.substr(2, 2), name.substr(4, 2), name.substr(6));
             }
             EXPECT_EQ(r.err, expected);
             EXPECT_EQ(r.out, header_lines(s.store().string()) + std::string(VERIFY_FAILED));
         }},
        {"OneByteChunksGiveTheSameAnalysisOnOneThreadAndOnMany",
         [](const Scene& s) {
             // 17 MiB: three analysis units of 8 MiB on many threads, seventeen reads on one.
             const KroResult gen = run_kro({"gen", "--directory", s.store().string(), "--max-files", "1",
                                            "--file-size", "17825792", "--seed", "hostile"});
             ASSERT_EQ(gen.status, 0) << gen.err;
             const fs::path file = only_file(s.store());
             overwrite(file, (8 << 20) - 3000, std::string(6000, '\0'));  // across a unit boundary
             overwrite(file, (1 << 20) - 2, std::string(5, '\x5a'));      // across a read boundary
             std::mt19937 rng(11);
             std::string noise(5000, '\0');
             for (char& c : noise) c = static_cast<char>(rng());
             overwrite(file, (12 << 20) + 7, noise);
         },
         {"verify", "--directory", "{store}", "--chunk-size", "1", "--jobs", "1"},
         1,
         [](const Scene& s, const KroResult& one_thread) {
             EXPECT_THAT(one_thread.out, ::testing::HasSubstr("Status: CONTENT CORRUPTED"));
             const KroResult many =
                 run_kro({"verify", "--directory", s.store().string(), "--chunk-size", "1", "--jobs", "8"});
             EXPECT_EQ(many.status, 1);
             EXPECT_EQ(many.out, one_thread.out);
             EXPECT_EQ(many.err, one_thread.err);
         }},
    };
}

// What a seeded run of `make_store` writes, learnt from a run in a directory of its own.
const std::string ZERO_TIP(40, '0');

fs::path probe_root(const Scene& scene) {
    return scene.dir / "probe";
}

// The probe's chain tip: the name of its only marker.
std::string probe_tip(const Scene& scene) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(probe_root(scene) / ".metadata" / "roots"))
        names.push_back(e.path().filename());
    EXPECT_EQ(names.size(), 1u);
    return names.empty() ? std::string() : names.front();
}

// The probe's only content file, relative to its root.
fs::path probe_file(const Scene& scene) {
    return fs::relative(only_file(probe_root(scene)), probe_root(scene));
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

std::string marker_error(const Scene& scene, const std::string& tip,
                         const std::string& cause = "not a regular file") {
    return "error: writing the chain-tip marker at " +
           (scene.store() / ".metadata" / "roots" / tip).string() + ": " + cause + "\n";
}

// Rounds of runs into one store started at once, and the runs of a round.
constexpr int PARALLEL_ROUNDS = 25;
constexpr int PARALLEL_RUNS = 3;

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
             fs::create_symlink(s.outside() / "sentinel", s.store() / ".metadata" / "roots" / ZERO_TIP);
         },
         no_files, 1,
         [](const Scene& s, const KroResult& r) {
             EXPECT_EQ(r.err, marker_error(s, ZERO_TIP));
             expect_outside_untouched(s);
         }},
        {"SymlinkAtASeededRunsTip",
         [](const Scene& s) {
             make_store(probe_root(s), 3);
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
             ASSERT_EQ(::mkfifo((s.store() / ".metadata" / "roots" / ZERO_TIP).c_str(), 0666), 0);
         },
         no_files, 1,
         [](const Scene& s, const KroResult& r) {
             EXPECT_EQ(r.err, marker_error(s, ZERO_TIP));
             expect_outside_untouched(s);
         }},
        {"HardLinkWithContentAtTheMarker",
         [](const Scene& s) {
             plant_store_dirs(s);
             fs::create_hard_link(s.outside() / "sentinel", s.store() / ".metadata" / "roots" / ZERO_TIP);
         },
         no_files, 1,
         [](const Scene& s, const KroResult& r) {
             EXPECT_EQ(r.err, marker_error(s, ZERO_TIP, "has other hard links"));
             expect_outside_untouched(s);
         }},
        {"SymlinkAtAShardDirectory",
         [](const Scene& s) {
             make_store(probe_root(s), 1);
             fs::create_directories(s.store());
             fs::create_directory_symlink(s.outside(), s.store() / *probe_file(s).begin());
         },
         one_file, 1,
         [](const Scene& s, const KroResult& r) {
             EXPECT_EQ(r.err, "error: creating the shard directory at " +
                                  (s.store() / probe_file(s).parent_path()).string() + ": Not a directory\n");
             expect_outside_untouched(s);
             EXPECT_EQ(temporary_files(s.store()), std::vector<std::string>{});
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
        // Runs started at once into one store: whichever aggregate is written last covers every
        // marker present, round after round.
        {"ParallelRunsKeepTheAggregateWhole",
         [](const Scene& s) {
             for (int round = 0; round < PARALLEL_ROUNDS; ++round) {
                 std::vector<KroResult> results(PARALLEL_RUNS);
                 {
                     std::vector<std::jthread> runs;
                     for (KroResult& result : results) {
                         runs.emplace_back([&] {
                             result = run_kro({"gen", "--directory", s.store().string(), "--max-files", "1"});
                         });
                     }
                 }
                 for (const KroResult& result : results) ASSERT_EQ(result.status, 0) << result.err;
                 const KroResult verified = run_kro({"verify", "--directory", s.store().string()});
                 ASSERT_EQ(verified.status, 0) << "round " << round << ": " << verified.err;
             }
         },
         {"verify", "--directory", "{store}"},
         0,
         [](const Scene& s, const KroResult& r) {
             EXPECT_EQ(r.err, "");
             EXPECT_EQ(r.out, header_lines(s.store().string()) + std::string(VERIFY_PASSED));
             EXPECT_EQ(std::distance(fs::directory_iterator(s.store() / ".metadata" / "roots"),
                                     fs::directory_iterator()),
                       PARALLEL_ROUNDS * PARALLEL_RUNS);
             expect_outside_untouched(s);
         }},
    };
}

// A path the planting of a row noted for its check, kept beside the store.
void note_path(const Scene& scene, const fs::path& path) {
    write_file(scene.dir / "noted-path", path.string());
}
fs::path noted_path(const Scene& scene) {
    const std::vector<uint8_t> text = read_file(scene.dir / "noted-path");
    return std::string(text.begin(), text.end());
}

// A Unix socket bound at `path`, and left there when its descriptor is closed.
void bind_socket(const fs::path& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // Bound through a short relative name: socket paths are limited to about 100 bytes.
    const fs::path previous = fs::current_path();
    fs::current_path(path.parent_path());
    const std::string name = path.filename();
    std::copy(name.begin(), name.end(), address.sun_path);
    const int bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    fs::current_path(previous);
    ::close(fd);
    ASSERT_EQ(bound, 0) << path;
}

// A link to a device where kro reads, a socket, and paths beyond what one system call resolves:
// nothing but a regular file is ever opened for reading (the runner checks kro's own open calls),
// and each reads as the Parts say.
std::vector<HostileCase> open_cases() {
    const std::string header_truncated =
        "CORRUPTION: Header corrupted in {} - cannot proceed with validation (header truncated: need 60 "
        "bytes, got 0)\n";
    return {
        {"DeviceLinkAtAContentPathIsNeverOpened",
         [](const Scene& s) {
             make_store(s.store(), 1);
             const fs::path file = only_file(s.store());
             fs::remove(file);
             fs::create_symlink("/dev/null", file);
             note_path(s, file);
         },
         {"verify", "--directory", "{store}", "--jobs", "1"},
         1,
         [header_truncated](const Scene& s, const KroResult& r) {
             EXPECT_EQ(r.err, fmt::format(fmt::runtime(header_truncated), noted_path(s).string()));
         }},
        {"DeviceLinkAtTheAggregateIsNeverOpened",
         [](const Scene& s) {
             make_store(s.store(), 1);
             fs::remove(s.store() / ".metadata" / "all");
             fs::create_symlink("/dev/null", s.store() / ".metadata" / "all");
         },
         {"verify", "--directory", "{store}", "--jobs", "1"},
         1,
         [](const Scene&, const KroResult& r) {
             EXPECT_EQ(r.err, "CORRUPTION: Root hash is not valid, roots are missing.\n");
         }},
        {"SocketAtAContentPathReadsAsEmpty",
         [](const Scene& s) {
             make_store(s.store(), 1);
             const fs::path file = only_file(s.store());
             fs::remove(file);
             bind_socket(file);
             note_path(s, file);
         },
         {"verify", "--directory", "{store}", "--jobs", "2"},
         1,
         [header_truncated](const Scene& s, const KroResult& r) {
             EXPECT_EQ(r.err, fmt::format(fmt::runtime(header_truncated), noted_path(s).string()));
         }},
        {"DeepTreeOfLongNamesIsWalkedAndRead",
         [](const Scene& s) {
             // A damaged copy of the store's file, under its shard path at the bottom of 20
             // directories whose path is over 5,000 bytes long.
             make_store(s.store(), 1);
             const fs::path file = only_file(s.store());
             std::vector<uint8_t> bytes = read_file(file);
             bytes[1000] ^= 0xff;
             base::UniqueFd deepest;
             const fs::path deep = make_deep_dirs(s.store(), 20, deepest);
             const fs::path shard = fs::relative(file, s.store());
             std::string relative;
             for (const auto& part : shard.parent_path()) {
                 relative += part.native();
                 ASSERT_EQ(::mkdirat(deepest.get(), relative.c_str(), 0755), 0);
                 relative += "/";
             }
             relative += shard.filename().native();
             const base::UniqueFd out(
                 ::openat(deepest.get(), relative.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
             ASSERT_TRUE(out.valid());
             ASSERT_EQ(::write(out.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
             write_file(s.dir / "copy", bytes);
             note_path(s, deep / shard);
         },
         {"verify", "--directory", "{store}", "--jobs", "1"},
         1,
         [](const Scene& s, const KroResult& r) {
             const std::string copy = noted_path(s).string();
             const format::FileId actual = file_id_of(read_file(s.dir / "copy"), format::FormatVersion::V3);
             EXPECT_EQ(r.err, fmt::format("CORRUPTION: Invalid file ID for file \"{}\": actual "
                                          "KRO-Merkle-BLAKE3-160 {}\n",
                                          copy, actual.to_hex()));
             EXPECT_THAT(r.out, ::testing::HasSubstr("Status: CONTENT CORRUPTED"));
         }},
    };
}

std::vector<HostileCase> all_cases() {
    std::vector<HostileCase> cases;
    for (auto part : {read_cases, text_cases, cost_cases, write_cases, open_cases}) {
        for (HostileCase& c : part()) cases.push_back(std::move(c));
    }
    return cases;
}

void PrintTo(const HostileCase& c, std::ostream* out) {
    *out << c.name;
}

class HostileStore : public ::testing::TestWithParam<HostileCase> {
  protected:
    void SetUp() override {
        fs::create_directory(scene_.outside());
        std::ofstream(scene_.outside() / "sentinel") << "kept";
    }
    ScratchDir scratch_;
    Scene scene_{scratch_.path()};
};

TEST_P(HostileStore, HasItsExactOutcome) {
    const HostileCase& c = GetParam();
    c.plant(scene_);
    if (HasFatalFailure()) return;
    std::vector<std::string> args;
    for (const std::string& arg : c.args) {
        args.push_back(
            substitute(arg, {{"store", scene_.store()}, {"outside", scene_.outside()}, {"dir", scene_.dir}}));
    }
    const ScratchDir log_dir;
    const fs::path log = log_dir / "opens";
    KroRun run;
    run.args = std::move(args);
    run.env = shim_env({{"KRO_OPEN_LOG", log.string()}});
    const KroResult result = run_kro(run);
    EXPECT_EQ(result.status, c.status) << result.out << result.err;
    c.expect(scene_, result);
    // Whatever a store holds, kro opens nothing but regular files and directories for I/O.
    std::ifstream opens(log);
    for (std::string line; std::getline(opens, line, '\0');) {
        EXPECT_TRUE(line.starts_with("regular ") || line.starts_with("directory ")) << line;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileStore, ::testing::ValuesIn(all_cases()),
                         [](const ::testing::TestParamInfo<HostileCase>& info) { return info.param.name; });

}  // namespace
}  // namespace kro::test
