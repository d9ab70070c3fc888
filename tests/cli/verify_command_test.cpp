// `kro verify` end to end: stores made with `kro gen`, damaged here, verified by the built binary.

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "content_fixture.hpp"
#include "format/file_id.hpp"
#include "format/header.hpp"
#include "format/hex.hpp"
#include "format/store_path.hpp"
#include "kro_process.hpp"

namespace kro::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

const std::string TITLE = [] {
    std::string rule;
    for (int i = 0; i < 32; ++i) rule += "─";
    return "\n" + rule + " Error Analysis " + rule + "\n";
}();
const std::string SCALE = "0%" + std::string(56, ' ') + "100%\n";
const std::regex SGR("\x1b\\[[0-9;]*m");

std::string repeat(std::string_view piece, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += piece;
    return out;
}

// The map line of one damaged range [first, last] of cells, colour off.
std::string map_line(std::size_t first, std::size_t last) {
    return repeat("━", first) + repeat("█", last - first + 1) + repeat("━", 59 - last) + "\n";
}

// The content seed of a file's header, as the report prints it.
std::string seed_hex(const fs::path& path) {
    const std::vector<uint8_t> bytes = read_file(path);
    return format::encode_hex(std::span(bytes).subspan(20, format::ContentSeed::LEN));
}

format::FileId id_of_path(const fs::path& path) {
    return *format::parse_content_path(path);
}

// The v3 file ID of a file as it is on disk.
format::FileId v3_id_on_disk(const fs::path& path) {
    return file_id_of(read_file(path), format::FormatVersion::V3);
}

class VerifyCommand : public ::testing::Test {
  protected:
    // A v3 store of `count` files of `size` bytes, one chain, reproducible from `seed`.
    void generate(int count, std::string_view size, std::string_view seed = "render") {
        kro_gen_store(store_, count, size, seed);
    }

    // The content files of each chain in the order they were generated (a chain's first file has
    // no parent); chains in the order of their markers' names.
    std::vector<fs::path> chain() const {
        std::vector<fs::path> markers;
        for (const fs::directory_entry& marker : fs::directory_iterator(store_ / ".metadata" / "roots")) {
            markers.push_back(marker.path());
        }
        std::sort(markers.begin(), markers.end());
        std::vector<fs::path> files;
        for (const fs::path& marker : markers) {
            std::vector<fs::path> chain;
            format::FileId id = *format::decode_hex_20(marker.filename().string());
            while (!id.is_zero()) {
                const fs::path path = format::store_path_of(store_, id);
                chain.insert(chain.begin(), path);
                const std::vector<uint8_t> bytes = read_file(path);
                std::copy_n(bytes.begin(), format::FileId::LEN, id.bytes.begin());
            }
            files.insert(files.end(), chain.begin(), chain.end());
        }
        return files;
    }

    KroResult verify(std::vector<std::string> extra = {}) const {
        std::vector<std::string> args = {"verify", "--directory", store_.string()};
        args.insert(args.end(), extra.begin(), extra.end());
        return run_kro(args);
    }

    std::string header_lines(std::string_view chunk = "4,096") const {
        return test::header_lines(store_.string(), chunk);
    }

    ScratchDir scratch_;
    const fs::path& dir_ = scratch_.path();
    const fs::path store_ = dir_ / "store";
};

TEST_F(VerifyCommand, CleanStorePrintsTheHeaderAndTheSuccessVerdict) {
    generate(4, "5000");
    const KroResult clean = verify();
    EXPECT_EQ(clean.status, 0);
    EXPECT_EQ(clean.out, header_lines() + std::string(VERIFY_PASSED));
    EXPECT_EQ(clean.err, "");

    // The user's chunk size is shown as given, before it is clamped to 64 MiB.
    const KroResult large = verify({"--chunk-size", "100000000", "--jobs", "3"});
    EXPECT_EQ(large.status, 0);
    EXPECT_EQ(large.out, header_lines("100,000,000") + std::string(VERIFY_PASSED));
}

TEST_F(VerifyCommand, DefaultDirectoryIsTheCurrentOne) {
    generate(2, "5000");
    KroRun run;
    run.args = {"verify"};
    run.env = {{"TERM", std::nullopt}, {"NO_COLOR", std::nullopt}};
    run.cwd = store_.string();
    const KroResult result = run_kro(run);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, fmt::format("Verifying file contents in: {}\nAnalysis chunk size: 4,096 bytes\n{}",
                                      fs::canonical(store_).string(), VERIFY_PASSED));
}

TEST_F(VerifyCommand, EmptyDirectoryIsTheCurrentOneWithPathsAsTyped) {
    // gen writes into the current directory when given an empty one; verify reads it back.
    fs::create_directories(store_);
    const auto in_store = [&](std::vector<std::string> args) {
        KroRun run;
        run.args = std::move(args);
        run.env = {{"TERM", std::nullopt}, {"NO_COLOR", std::nullopt}};
        run.cwd = store_.string();
        return run_kro(run);
    };
    const KroResult generated = in_store({"gen", "--directory", "", "--max-files", "3", "--seed", "empty"});
    ASSERT_EQ(generated.status, 0) << generated.err;
    const KroResult clean = in_store({"verify", "--directory", ""});
    EXPECT_EQ(clean.status, 0) << clean.err;
    EXPECT_EQ(clean.out, test::header_lines("") + std::string(VERIFY_PASSED));
    EXPECT_EQ(clean.err, "");

    // The paths of findings are relative, as the empty directory joins them.
    write_file(store_ / "stray", "x");
    const KroResult stray = in_store({"verify", "--directory", "", "--jobs", "1"});
    EXPECT_EQ(stray.status, 1);
    EXPECT_EQ(stray.out, test::header_lines("") + std::string(VERIFY_FAILED));
    EXPECT_EQ(stray.err,
              "ERROR: Invalid KRO path layout: stray\nORPHAN: File not referenced by any files: stray\n");
}

TEST_F(VerifyCommand, ZeroedBlockIsAnalysed) {
    generate(3, "10000");
    const fs::path damaged = chain()[1];
    overwrite(damaged, 4096, std::string(4096, '\0'));
    const format::FileId actual = v3_id_on_disk(damaged);

    const KroResult result = verify();
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err,
              fmt::format("CORRUPTION: Invalid file ID for file \"{}\": actual KRO-Merkle-BLAKE3-160 {}\n",
                          damaged.string(), actual));
    const std::string analysis = fmt::format(
        "\n"
        "File: {path}\n"
        "Status: CONTENT CORRUPTED\n"
        "Actual Size          10,000 bytes\n"
        "Header Size          10,000 bytes\n"
        "Expected v3 file ID  {expected}\n"
        "Actual v3 file ID    {actual}\n"
        "\n"
        "Header Validation: PASSED\n"
        "Content Seed: {seed}\n"
        "\n"
        "Corruption Analysis\n"
        "  Analysis size: 10,000\n"
        "  Bytes corrupted: 4,096 (40.96%)\n"
        "  Regions: 1\n"
        "\n"
        "  Region 1: Offset 4,096–8,192 (4,096 bytes)\n"
        "    Pattern: zero-filled\n"
        "    Details: All bytes are 0x00\n"
        "\n"
        "Visualization:\n"
        "{map}{scale}",
        fmt::arg("path", damaged.string()), fmt::arg("expected", id_of_path(damaged)),
        fmt::arg("actual", actual), fmt::arg("seed", seed_hex(damaged)), fmt::arg("map", map_line(24, 49)),
        fmt::arg("scale", SCALE));
    EXPECT_EQ(result.out, header_lines() + TITLE + analysis + "\n" + std::string(VERIFY_FAILED));
}

TEST_F(VerifyCommand, TruncatedAndExtendedFilesReportSizeAndTail) {
    generate(3, "10000");
    const std::vector<fs::path> files = chain();
    fs::resize_file(files[0], 7000);
    append(files[2], std::string(100, 'x'));
    const KroResult result = verify();
    EXPECT_EQ(result.status, 1);

    // Issue lines follow file order, each file's size finding before its content finding.
    std::vector<fs::path> sorted = {files[0], files[2]};
    std::sort(sorted.begin(), sorted.end());
    std::string err;
    std::string analyses;
    for (const fs::path& file : sorted) {
        const bool truncated = file == files[0];
        err += fmt::format("CORRUPTION: File size mismatch in {}: expected 10000, got {}\n", file.string(),
                           truncated ? 7000 : 10100);
        err += fmt::format("CORRUPTION: Invalid file ID for file \"{}\": actual KRO-Merkle-BLAKE3-160 {}\n",
                           file.string(), v3_id_on_disk(file));
        analyses += fmt::format(
            "\n"
            "File: {path}\n"
            "Status: CONTENT CORRUPTED\n"
            "Actual Size          {actual_size} bytes\n"
            "Header Size          10,000 bytes\n"
            "Expected v3 file ID  {expected}\n"
            "Actual v3 file ID    {actual}\n"
            "\n"
            "Header Validation: PASSED\n"
            "Content Seed: {seed}\n"
            "\n"
            "Corruption Analysis\n"
            "  Analysis size: {total}\n"
            "  Bytes corrupted: {corrupted}\n"
            "  Regions: 1\n"
            "\n"
            "  Region 1: Offset {region}\n"
            "    Pattern: {pattern}\n"
            "    Details: {details}\n"
            "\n"
            "Visualization:\n"
            "{map}{scale}",
            fmt::arg("path", file.string()), fmt::arg("actual_size", truncated ? "7,000" : "10,100"),
            fmt::arg("expected", id_of_path(file)), fmt::arg("actual", v3_id_on_disk(file)),
            fmt::arg("seed", seed_hex(file)), fmt::arg("total", truncated ? "10,000" : "10,100"),
            fmt::arg("corrupted", truncated ? "3,000 (30.00%)" : "100 (0.99%)"),
            fmt::arg("region", truncated ? "7,000–10,000 (3,000 bytes)" : "10,000–10,100 (100 bytes)"),
            fmt::arg("pattern", truncated ? "truncated" : "extra-bytes"),
            fmt::arg("details",
                     truncated ? "Missing 3,000 bytes at end of file" : "Unexpected 100 extra bytes"),
            fmt::arg("map", truncated ? map_line(42, 59) : map_line(59, 59)), fmt::arg("scale", SCALE));
    }
    EXPECT_EQ(result.err, err);
    EXPECT_EQ(result.out, header_lines() + TITLE + analyses + "\n" + std::string(VERIFY_FAILED));
}

TEST_F(VerifyCommand, FileMovedToAnotherContentPath) {
    generate(3, "10000");
    const std::vector<fs::path> files = chain();
    const fs::path original = files[0];
    fs::path moved = original;
    std::string name = moved.filename().string();
    name.back() = name.back() == '0' ? '1' : '0';
    moved.replace_filename(name);
    fs::rename(original, moved);
    const KroResult result = verify();
    EXPECT_EQ(result.status, 1);

    // The moved file is sound but misplaced; its child lost its parent; nothing names the new path.
    const std::string moved_line =
        fmt::format("CORRUPTION: Invalid file ID for file \"{}\": actual KRO-Merkle-BLAKE3-160 {}\n",
                    moved.string(), id_of_path(original));
    const std::string parent_line = fmt::format("CORRUPTION: Parent hash not found: {}\n", original.string());
    const std::string err =
        moved.string() < files[1].string() ? moved_line + parent_line : parent_line + moved_line;
    EXPECT_EQ(result.err,
              err + fmt::format("ORPHAN: File not referenced by any files: {}\n", moved.string()));
    EXPECT_EQ(result.out, header_lines() + TITLE +
                              fmt::format("\n"
                                          "File: {}\n"
                                          "Status: PATH MISMATCH (content valid)\n"
                                          "File Size       10,000 bytes\n"
                                          "Path indicates  {}\n"
                                          "Actual file ID  {}\n"
                                          "\n"
                                          "The file content is valid but stored at an incorrect path.\n",
                                          moved.string(), id_of_path(moved), id_of_path(original)) +
                              "\n" + std::string(VERIFY_FAILED));
}

TEST_F(VerifyCommand, ChainFindingsWithoutContentDamage) {
    struct Case {
        std::string name;
        // Damages the store; returns the expected standard error.
        std::function<std::string(const fs::path& store, const std::vector<fs::path>& chain)> damage;
    };
    const std::vector<Case> cases = {
        {"stray file",
         [](const fs::path& store, const std::vector<fs::path>&) {
             write_file(store / "stray.txt", "x");
             const std::string stray = (store / "stray.txt").string();
             return fmt::format(
                 "ERROR: Invalid KRO path layout: {0}\nORPHAN: File not referenced by any files: {0}\n",
                 stray);
         }},
        {"removed parent",
         [](const fs::path&, const std::vector<fs::path>& chain) {
             fs::remove(chain[0]);
             return fmt::format("CORRUPTION: Parent hash not found: {}\n", chain[0].string());
         }},
        {"removed chain tip",
         [](const fs::path&, const std::vector<fs::path>& chain) {
             fs::remove(chain[2]);
             return fmt::format(
                 "ORPHAN: File not referenced by any files: {}\nCORRUPTION: Chain tip not found: {}\n",
                 chain[1].string(), chain[2].string());
         }},
        {"rewritten aggregate",
         [](const fs::path& store, const std::vector<fs::path>&) {
             write_file(store / ".metadata" / "all", std::string(40, '0'));
             return std::string("CORRUPTION: Root hash is not valid, roots are missing.\n");
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(store_);
        generate(3, "2000");
        const std::string err = c.damage(store_, chain());
        const KroResult result = verify();
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, err);
        // Findings without a content mismatch print no analysis.
        EXPECT_EQ(result.out, header_lines() + std::string(VERIFY_FAILED));
    }
}

TEST_F(VerifyCommand, RunErrorsPrintTheWholeChain) {
    fs::create_directories(store_);
    const KroResult not_store = verify();
    EXPECT_EQ(not_store.status, 1);
    EXPECT_EQ(not_store.err,
              fmt::format("ERROR: {} is not a valid KRO store (missing .metadata/roots directory)\n",
                          store_.string()));
    EXPECT_EQ(not_store.out, header_lines() + std::string(VERIFY_FAILED));

    // Failures of the operating system: the action, the path and the system's text.
    fs::remove_all(store_);
    generate(2, "2000");
    const fs::path aggregate = store_ / ".metadata" / "all";
    fs::remove(aggregate);
    const KroResult missing = verify();
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err,
              fmt::format("ERROR: reading the chain-tip aggregate at {}: No such file or directory\n",
                          aggregate.string()));
    EXPECT_EQ(missing.out, header_lines() + std::string(VERIFY_FAILED));

    const fs::path roots = store_ / ".metadata" / "roots";
    fs::remove_all(roots);
    fs::create_symlink("roots", roots);
    const KroResult loop = verify();
    EXPECT_EQ(loop.status, 1);
    EXPECT_EQ(loop.err,
              fmt::format("ERROR: reading the chain-tip directory at {}: Too many levels of symbolic links\n",
                          roots.string()));
    EXPECT_EQ(loop.out, header_lines() + std::string(VERIFY_FAILED));
}

TEST_F(VerifyCommand, UnresolvableCurrentDirectory) {
    const fs::path gone = dir_ / "gone";
    fs::create_directory(gone);
    KroRun run;
    run.args = {"verify"};
    run.env = {{"TERM", std::nullopt}, {"NO_COLOR", std::nullopt}};
    run.cwd = gone.string();
    run.remove_cwd = true;
    const KroResult result = run_kro(run);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "ERROR: resolving the current directory: No such file or directory\n");
    EXPECT_EQ(result.out, std::string(VERIFY_FAILED));
}

// A store with findings of most kinds, one file large enough to be split into lanes.
class VerifyManyFindings : public VerifyCommand {
  protected:
    void SetUp() override {
        VerifyCommand::SetUp();
        generate(1, "6MB", "large");
        generate(6, "9000", "small");
        std::vector<fs::path> files = chain();
        ASSERT_EQ(files.size(), 7u);
        const auto large = std::find_if(files.begin(), files.end(),
                                        [](const fs::path& f) { return fs::file_size(f) > 9000; });
        ASSERT_NE(large, files.end());
        overwrite(*large, 3 * 1048576 + 100, std::string(20000, '\0'));
        overwrite(*large, 5 * 1048576, std::string(4096, '\x5a'));
        files.erase(large);
        overwrite(files[0], 100, "xyz");
        overwrite(files[1], 2048, std::string(2048, '\x01'));
        fs::resize_file(files[2], 8000);
        write_file(store_ / "stray.txt", "x");
        fs::remove(files[4]);
    }
};

TEST_F(VerifyManyFindings, OutputDoesNotDependOnTheWorkerBudget) {
    const KroResult one = verify({"--jobs", "1"});
    EXPECT_EQ(one.status, 1);
    EXPECT_THAT(one.out, HasSubstr("Status: CONTENT CORRUPTED"));
    for (const std::string jobs : {"2", "8"}) {
        const KroResult many = verify({"--jobs", jobs});
        EXPECT_EQ(many.status, 1);
        EXPECT_EQ(many.out, one.out) << "--jobs " << jobs;
        EXPECT_EQ(many.err, one.err) << "--jobs " << jobs;
    }
}

class VerifyColour : public VerifyCommand {
  protected:
    KroResult run(bool stdout_tty, bool stderr_tty,
                  std::optional<std::string> no_color = std::nullopt) const {
        KroRun run;
        run.args = {"verify", "--directory", store_.string()};
        run.env = {{"TERM", "xterm"}, {"NO_COLOR", no_color}};
        run.stdout_tty = stdout_tty;
        run.stderr_tty = stderr_tty;
        return run_kro(run);
    }
};

TEST_F(VerifyColour, TerminalGetsTheColours) {
    generate(2, "10000");
    overwrite(chain()[0], 4096, std::string(4096, '\0'));
    const KroResult result = run(true, true);
    EXPECT_EQ(result.status, 1);
    const std::string rule = "\x1b[31m" + repeat("─", 32) + "\x1b[0m";
    for (const std::string& piece : std::vector<std::string>{
             fmt::format("Verifying file contents in: \x1b[1m{}\x1b[0m\n", store_.string()),
             "\x1b[2mAnalysis chunk size: 4,096 bytes\x1b[0m",
             "\x1b[31m✗\x1b[0m Verify   \x1b[31m" + repeat("━", 16) + "\x1b[0m 100%",
             "\x1b[1;31mCORRUPTION:\x1b[0m Invalid file ID",
             rule + " Error Analysis " + rule,
             "\x1b[1mFile:\x1b[0m",
             repeat("\x1b[31m█\x1b[0m", 26),
             "\x1b[2m━\x1b[0m",
             "\x1b[31m✗\x1b[0m Verification failed.",
         }) {
        EXPECT_THAT(result.out, HasSubstr(piece));
    }
}

TEST_F(VerifyColour, CleanStoreFinishesTheProgressLineWithACheckMark) {
    generate(2, "5000");
    const KroResult result = run(true, true);
    EXPECT_EQ(result.status, 0);
    EXPECT_THAT(result.out,
                HasSubstr("\x1b[32m✓\x1b[0m Verify   \x1b[32m" + repeat("━", 16) + "\x1b[0m 100%"));
    EXPECT_THAT(result.out, HasSubstr("\x1b[32m✓\x1b[0m All files successfully verified."));
}

TEST_F(VerifyColour, NoColorAndRedirectedStreamsGetNone) {
    generate(2, "10000");
    overwrite(chain()[0], 4096, std::string(4096, '\0'));

    // NO_COLOR: the progress line is still drawn, with no colour.
    const KroResult plain = run(true, true, "1");
    EXPECT_EQ(plain.status, 1);
    EXPECT_FALSE(std::regex_search(plain.out, SGR)) << plain.out;
    EXPECT_THAT(plain.out, HasSubstr("✗ Verify   " + repeat("━", 16) + " 100%"));

    // Standard output redirected: its text is plain while standard error stays coloured.
    const KroResult redirected = run(false, true);
    EXPECT_EQ(redirected.status, 1);
    EXPECT_EQ(redirected.out.find('\x1b'), std::string::npos) << redirected.out;
    EXPECT_THAT(redirected.err, HasSubstr("\x1b[1;31mCORRUPTION:\x1b[0m"));

    // No terminal at all: no escape sequence anywhere, no progress line.
    const KroResult piped = run(false, false);
    EXPECT_EQ(piped.out.find('\x1b'), std::string::npos);
    EXPECT_THAT(piped.err, ::testing::StartsWith("CORRUPTION: Invalid file ID"));
    EXPECT_EQ(piped.err.find('\x1b'), std::string::npos);
}

TEST_F(VerifyCommand, ClosedStandardOutputStopsTheProgram) {
    generate(2, "5000");
    KroRun run;
    run.args = {"verify", "--directory", store_.string()};
    run.env = {{"TERM", std::nullopt}, {"NO_COLOR", std::nullopt}};
    run.stdout_closed = true;
    const KroResult result = run_kro(run);
    EXPECT_EQ(result.status, 101);
    EXPECT_THAT(result.err, HasSubstr("failed printing to stdout: Broken pipe"));
}

TEST_F(VerifyCommand, MemoryThatRunsOutIsAnErrorNotACrash) {
    if (!address_space_limits_work()) GTEST_SKIP() << "sanitizers reserve more address space than the limit";
    // 17 MiB of noise analysed in one-byte chunks: millions of regions, on one thread and on
    // several (three units of 8 MiB), far more than 160 MiB of address space holds.
    generate(1, "17825792");
    const fs::path damaged = chain()[0];
    std::mt19937 rng(7);
    std::string noise(17825792 - format::HEADER_LEN, '\0');
    for (char& c : noise) c = static_cast<char>(rng());
    overwrite(damaged, format::HEADER_LEN, noise);

    for (const char* jobs : {"1", "8"}) {
        KroRun run;
        run.args = {"verify", "--directory", store_.string(), "--chunk-size", "1", "--jobs", jobs};
        // One malloc arena: threads would each reserve 64 MiB of address space for their own.
        run.env = {{"TERM", std::nullopt}, {"NO_COLOR", std::nullopt}, {"MALLOC_ARENA_MAX", "1"}};
        run.address_space_limit = 160 * 1048576;
        const KroResult result = run_kro(run);
        EXPECT_EQ(result.status, 1) << jobs;
        EXPECT_EQ(result.err,
                  fmt::format("ERROR: analyzing a corrupted file at {}: out of memory\n", damaged.string()))
            << jobs;
        EXPECT_EQ(result.out, header_lines("1") + std::string(VERIFY_FAILED)) << jobs;
    }
}

}  // namespace
}  // namespace kro::test
