#include "cli/output/render.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <limits>
#include <string>
#include <vector>

namespace kro::cli {
namespace {

using format::FormatVersion;
using verify::CorruptionPattern;
using verify::CorruptionReport;
using verify::CorruptRegion;
using verify::Issue;
using P = CorruptionPattern;

const std::string AA(40, 'a');
const std::string BB(40, 'b');
const std::string SEED_HEX = "000102030405060708090a0b0c0d0e0f";

format::FileId id_of(uint8_t byte) {
    format::FileId id;
    id.bytes.fill(byte);
    return id;
}

CorruptionReport report(std::filesystem::path path, std::vector<CorruptRegion> regions, uint64_t actual_len,
                        uint64_t expected_len, FormatVersion version) {
    format::ContentSeed seed;
    for (uint8_t i = 0; i < seed.bytes.size(); ++i) seed.bytes[i] = i;
    return CorruptionReport{
        .path = std::move(path),
        .regions = std::move(regions),
        .actual_len = actual_len,
        .expected_len = expected_len,
        .seed = seed,
        .expected_id = id_of(0xaa),
        .actual_id = id_of(0xbb),
        .version = version,
    };
}

// A v3 file of 10,000 bytes: one zeroed block and a sparse tail.
CorruptionReport damaged_v3() {
    return report("s/ab/cd/ef/damaged", {{P::ZeroFilled{}, 4096, 4096}, {P::Sparse{3}, 8192, 1808}}, 10000,
                  10000, FormatVersion::V3);
}

// A v2 file of 5,000 bytes whose header declares 6,000: random damage and the missing tail.
CorruptionReport truncated_v2() {
    return report("s/ab/cd/ef/short", {{P::Random{0.5}, 60, 4036}, {P::Truncated{1000}, 5000, 1000}}, 5000,
                  6000, FormatVersion::V2);
}

// Sound content stored under another file's name.
CorruptionReport misplaced() {
    return report("s/ab/cd/ef/moved", {}, 4096, 4096, FormatVersion::V3);
}

std::string repeat(std::string_view piece, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += piece;
    return out;
}

const std::string TITLE = "\n" + repeat("─", 32) + " Error Analysis " + repeat("─", 32) + "\n";

// Runs `print` against a writer on an in-memory file and returns everything it wrote.
template <typename F>
std::string capture(F print) {
    const int fd = ::memfd_create("render", 0);
    EXPECT_GE(fd, 0);
    StreamWriter writer(fd, "stdout");
    print(writer);
    writer.flush();
    std::string text(static_cast<std::size_t>(::lseek(fd, 0, SEEK_CUR)), '\0');
    EXPECT_EQ(::pread(fd, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
    ::close(fd);
    return text;
}

std::string issues_text(const std::vector<Issue>& issues, bool color) {
    return capture([&](StreamWriter& w) { print_issues(w, issues, color); });
}

std::string analyses_text(const std::vector<Issue>& issues, bool color) {
    return capture([&](StreamWriter& w) { print_error_analyses(w, issues, color); });
}

std::vector<Issue> one(CorruptionReport r) {
    std::vector<Issue> issues;
    issues.emplace_back(Issue::ContentCorrupted{std::move(r)});
    return issues;
}

TEST(RenderIssues, EveryVariantHasItsLabelAndMessage) {
    CorruptionReport same_ids = report("s/f", {}, 100, 100, FormatVersion::V3);
    same_ids.actual_id = same_ids.expected_id;
    const std::vector<std::pair<Issue, std::string>> cases = {
        {Issue::InvalidPathLayout{"s/stray"}, "ERROR: Invalid KRO path layout: s/stray"},
        {Issue::HeaderCorrupted{"s/f", format::HeaderError(format::HeaderError::Truncated{59})},
         "CORRUPTION: Header corrupted in s/f - cannot proceed with validation (header truncated: need 60 "
         "bytes, "
         "got 59)"},
        {Issue::FileSizeMismatch{"s/f", 1000, 1200},
         "CORRUPTION: File size mismatch in s/f: expected 1000, got 1200"},
        {Issue::ContentCorrupted{report("s/f", {}, 100, 100, FormatVersion::V2)},
         "CORRUPTION: Invalid checksum for file \"s/f\": actual blake2b " + BB},
        {Issue::ContentCorrupted{same_ids}, "CORRUPTION: Noncanonical KRO v3 content in file \"s/f\""},
        {Issue::ContentCorrupted{report("s/f", {}, 100, 100, FormatVersion::V3)},
         "CORRUPTION: Invalid file ID for file \"s/f\": actual KRO-Merkle-BLAKE3-160 " + BB},
        {Issue::ParentHashNotFound{"s/child", "s/aa/aa/aa/x", id_of(0xaa)},
         "CORRUPTION: Parent hash not found: s/aa/aa/aa/x"},
        {Issue::ChainTipNotFound{"s/.metadata/roots/" + AA, "s/aa/aa/aa/x", id_of(0xaa)},
         "CORRUPTION: Chain tip not found: s/aa/aa/aa/x"},
        {Issue::ChainFormatMismatch{"s/c", "s/p", id_of(0xaa), format::FormatVersion::V3,
                                    format::FormatVersion::V2},
         "ERROR: Chain format mismatch in s/c: v3 child references v2 parent s/p"},
        {Issue::FileNotReferenced{"s/lonely"}, "ORPHAN: File not referenced by any files: s/lonely"},
        {Issue::RootHashInvalid{"s/.metadata/all", {}, {}},
         "CORRUPTION: Root hash is not valid, roots are missing."},
        {Issue::InvalidPathLayout{std::string("s/bad\xff")},
         "ERROR: Invalid KRO path layout: s/bad\xEF\xBF\xBD"},
    };
    for (const auto& [issue, line] : cases) {
        EXPECT_EQ(issues_text({issue}, false), line + "\n") << line;
    }
}

TEST(RenderIssues, ListOrderAndColouredLabels) {
    const std::vector<Issue> issues = {Issue::InvalidPathLayout{"s/x"}, Issue::FileSizeMismatch{"s/f", 1, 2},
                                       Issue::FileNotReferenced{"s/x"}};
    EXPECT_EQ(issues_text(issues, true),
              "\x1b[1;31mERROR:\x1b[0m Invalid KRO path layout: s/x\n"
              "\x1b[1;31mCORRUPTION:\x1b[0m File size mismatch in s/f: expected 1, got 2\n"
              "\x1b[1;33mORPHAN:\x1b[0m File not referenced by any files: s/x\n");
    EXPECT_EQ(issues_text({}, true), "");
}

TEST(RenderAnalyses, DamagedV3FileWholeReport) {
    const std::string expected = TITLE +
                                 "\n"
                                 "File: s/ab/cd/ef/damaged\n"
                                 "Status: CONTENT CORRUPTED\n"
                                 "Actual Size          10,000 bytes\n"
                                 "Header Size          10,000 bytes\n"
                                 "Expected v3 file ID  " +
                                 AA +
                                 "\n"
                                 "Actual v3 file ID    " +
                                 BB +
                                 "\n"
                                 "\n"
                                 "Header Validation: PASSED\n"
                                 "Content Seed: " +
                                 SEED_HEX +
                                 "\n"
                                 "\n"
                                 "Corruption Analysis\n"
                                 "  Analysis size: 10,000\n"
                                 "  Bytes corrupted: 5,904 (59.04%)\n"
                                 "  Regions: 2\n"
                                 "\n"
                                 "  Region 1: Offset 4,096–8,192 (4,096 bytes)\n"
                                 "    Pattern: zero-filled\n"
                                 "    Details: All bytes are 0x00\n"
                                 "\n"
                                 "  Region 2: Offset 8,192–10,000 (1,808 bytes)\n"
                                 "    Pattern: sparse\n"
                                 "    Details: 3 bytes corrupted\n"
                                 "\n"
                                 "Visualization:\n" +
                                 repeat("━", 24) + repeat("█", 36) +
                                 "\n"
                                 "0%" +
                                 std::string(56, ' ') +
                                 "100%\n"
                                 "\n";
    EXPECT_EQ(analyses_text(one(damaged_v3()), false), expected);
}

TEST(RenderAnalyses, TruncatedV2FileWholeReport) {
    const std::string expected = TITLE +
                                 "\n"
                                 "File: s/ab/cd/ef/short\n"
                                 "Status: CONTENT CORRUPTED\n"
                                 "Actual Size       5,000 bytes\n"
                                 "Header Size       6,000 bytes\n"
                                 "Expected BLAKE2b  " +
                                 AA +
                                 "\n"
                                 "Actual BLAKE2b    " +
                                 BB +
                                 "\n"
                                 "\n"
                                 "Header Validation: PASSED\n"
                                 "Content Seed: " +
                                 SEED_HEX +
                                 "\n"
                                 "\n"
                                 "Corruption Analysis\n"
                                 "  Analysis size: 6,000\n"
                                 "  Bytes corrupted: 5,036 (83.93%)\n"
                                 "  Regions: 2\n"
                                 "\n"
                                 "  Region 1: Offset 60–4,096 (4,036 bytes)\n"
                                 "    Pattern: random\n"
                                 "    Details: 50.0% corruption rate\n"
                                 "\n"
                                 "  Region 2: Offset 5,000–6,000 (1,000 bytes)\n"
                                 "    Pattern: truncated\n"
                                 "    Details: Missing 1,000 bytes at end of file\n"
                                 "\n"
                                 "Visualization:\n" +
                                 repeat("█", 41) + repeat("━", 9) + repeat("█", 10) +
                                 "\n"
                                 "0%" +
                                 std::string(56, ' ') +
                                 "100%\n"
                                 "\n";
    EXPECT_EQ(analyses_text(one(truncated_v2()), false), expected);
}

TEST(RenderAnalyses, MisplacedFileAmongOtherIssues) {
    std::vector<Issue> issues;
    issues.emplace_back(Issue::InvalidPathLayout{"s/x"});
    issues.emplace_back(Issue::ContentCorrupted{misplaced()});
    issues.emplace_back(Issue::FileNotReferenced{"s/x"});
    issues.emplace_back(Issue::ContentCorrupted{misplaced()});
    const std::string block =
        "\n"
        "File: s/ab/cd/ef/moved\n"
        "Status: PATH MISMATCH (content valid)\n"
        "File Size       4,096 bytes\n"
        "Path indicates  " +
        AA +
        "\n"
        "Actual file ID  " +
        BB +
        "\n"
        "\n"
        "The file content is valid but stored at an incorrect path.\n";
    EXPECT_EQ(analyses_text(issues, false), TITLE + block + block + "\n");
}

TEST(RenderAnalyses, NothingWithoutContentFindings) {
    const std::vector<Issue> issues = {Issue::InvalidPathLayout{"s/x"}, Issue::FileNotReferenced{"s/x"}};
    EXPECT_EQ(analyses_text(issues, true), "");
    EXPECT_EQ(analyses_text({}, true), "");
}

TEST(RenderAnalyses, ColourPaintsEveryPieceOnItsOwn) {
    const std::string text = analyses_text(one(damaged_v3()), true);
    const std::string red_rule = "\x1b[31m" + repeat("─", 32) + "\x1b[0m";
    EXPECT_TRUE(text.starts_with("\n" + red_rule + " Error Analysis " + red_rule + "\n")) << text;
    for (const std::string& piece : std::vector<std::string>{
             "\x1b[1mFile:\x1b[0m s/ab/cd/ef/damaged\n",
             "\x1b[1mStatus:\x1b[0m \x1b[1;31mCONTENT CORRUPTED\x1b[0m\n",
             "Header Validation: \x1b[32mPASSED\x1b[0m\n", "\x1b[1mCorruption Analysis\x1b[0m\n",
             "  Bytes corrupted: \x1b[31m5,904\x1b[0m (59.04%)\n",
             "  \x1b[1mRegion 2:\x1b[0m Offset 8,192–10,000 (1,808 bytes)\n",
             "\x1b[1mVisualization:\x1b[0m\n" + repeat("\x1b[2m━\x1b[0m", 24) +
                 repeat("\x1b[31m█\x1b[0m", 36) + "\n"}) {
        EXPECT_NE(text.find(piece), std::string::npos) << piece;
    }
    EXPECT_NE(
        analyses_text(one(misplaced()), true).find("\x1b[1mStatus:\x1b[0m \x1b[1;33mPATH MISMATCH\x1b[0m"),
        std::string::npos);
    for (const CorruptionReport& r : {damaged_v3(), truncated_v2(), misplaced()}) {
        EXPECT_EQ(analyses_text(one(r), false).find('\x1b'), std::string::npos);
    }
}

TEST(RenderAnalyses, PatternDetails) {
    const std::vector<std::tuple<CorruptionPattern, std::string, std::string>> cases = {
        {P::ZeroFilled{}, "zero-filled", "All bytes are 0x00"},
        {P::RepeatedByte{0x0a}, "repeated-byte", "All bytes are 0x0a"},
        {P::RepeatedByte{0xff}, "repeated-byte", "All bytes are 0xff"},
        {P::Sparse{1234}, "sparse", "1234 bytes corrupted"},
        {P::Aligned{512}, "aligned", "Corruption aligned to 512-byte boundaries"},
        {P::Random{0.5}, "random", "50.0% corruption rate"},
        {P::Random{1.0}, "random", "100.0% corruption rate"},
        {P::Truncated{1234567}, "truncated", "Missing 1,234,567 bytes at end of file"},
        {P::ExtraBytes{1234567}, "extra-bytes", "Unexpected 1,234,567 extra bytes"},
    };
    for (const auto& [pattern, name, details] : cases) {
        EXPECT_EQ(pattern_name(pattern), name);
        EXPECT_EQ(pattern_details(pattern), details);
    }
}

TEST(RenderAnalyses, PercentHasTwoDecimals) {
    // 40 of 1,000 bytes.
    const CorruptionReport r =
        report("s/f", {{P::Sparse{10}, 100, 10}, {P::Sparse{30}, 200, 30}}, 800, 1000, FormatVersion::V2);
    EXPECT_NE(analyses_text(one(r), false).find("  Bytes corrupted: 40 (4.00%)\n"), std::string::npos);
}

std::vector<std::size_t> marked_cells(uint64_t total, uint64_t offset, uint64_t length) {
    CorruptionMap cells{};
    mark_corruption_map(cells, total, offset, length);
    std::vector<std::size_t> marked;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        if (cells[i]) marked.push_back(i);
    }
    return marked;
}

std::vector<std::size_t> range(std::size_t first, std::size_t last) {
    std::vector<std::size_t> out;
    for (std::size_t i = first; i <= last; ++i) out.push_back(i);
    return out;
}

TEST(CorruptionMapCells, RegionsMarkTheCellsTheyTouch) {
    constexpr uint64_t max = std::numeric_limits<uint64_t>::max();
    EXPECT_EQ(marked_cells(1000, 60, 940), range(3, 59));
    EXPECT_EQ(marked_cells(1000, 500, 10), range(30, 30));
    EXPECT_EQ(marked_cells(1000, 500, 17), range(30, 31));
    EXPECT_EQ(marked_cells(1000, 0, 1), range(0, 0));
    // Ending on a cell boundary also marks the next cell.
    EXPECT_EQ(marked_cells(6000, 0, 100), range(0, 1));
    // Products beyond 64 bits.
    EXPECT_EQ(marked_cells(max, max - 1, 1), range(59, 59));
    EXPECT_EQ(marked_cells(max, max / 2, 1), range(29, 30));
    EXPECT_EQ(marked_cells(max, 0, max), range(0, 59));
    EXPECT_TRUE(marked_cells(0, 0, 0).empty());
}

TEST(CorruptionMapCells, MapOfAReportSpansTheLargerLength) {
    // Extra bytes beyond the declared length count in the map's span.
    const CorruptionReport r =
        report("s/f", {{P::ExtraBytes{500}, 1000, 500}}, 1500, 1000, FormatVersion::V3);
    const CorruptionMap cells = corruption_map(r);
    for (std::size_t i = 0; i < cells.size(); ++i) EXPECT_EQ(cells[i], i >= 40) << i;
}

TEST(CorruptionMapCells, VisualizationGlyphs) {
    CorruptionMap cells{};
    cells[0] = true;
    cells[59] = true;
    EXPECT_EQ(render_visualization(cells, false), "█" + repeat("━", 58) + "█");
    EXPECT_EQ(render_visualization(cells, true),
              "\x1b[31m█\x1b[0m" + repeat("\x1b[2m━\x1b[0m", 58) + "\x1b[31m█\x1b[0m");
}

TEST(RenderTable, LabelsPadToTheLongestPlusTwo) {
    std::string out;
    const TableRow rows[] = {{"a", "1"}, {"three", "2"}, {"", "3"}};
    render_table(out, rows);
    EXPECT_EQ(out, "a      1\nthree  2\n       3\n");
    out.clear();
    // Width counts characters, not bytes.
    const TableRow wide[] = {{"größe", "x"}, {"ab", "y"}};
    render_table(out, wide);
    EXPECT_EQ(out, "größe  x\nab     y\n");
}

}  // namespace
}  // namespace kro::cli
