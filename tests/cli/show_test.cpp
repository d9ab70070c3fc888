// `kro dev show`, run as the built binary, plus the store-root rule on its own.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <fmt/format.h>

#include "cli/dev/show.hpp"
#include "content_fixture.hpp"
#include "format/hex.hpp"
#include "format/store_path.hpp"
#include "kro_process.hpp"

namespace kro::test {
namespace {

using format::FileId;
using format::FormatVersion;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* ESC = "\x1b[";

std::string hex(std::span<const uint8_t> bytes) {
    return format::encode_hex(bytes);
}

// Rewrites header bytes 52..60 and, when asked, the checksum over them.
void rewrite_descriptor(const fs::path& path, std::array<uint8_t, 8> descriptor, bool recompute_checksum) {
    std::vector<uint8_t> bytes = read_file(path);
    std::copy(descriptor.begin(), descriptor.end(), bytes.begin() + 52);
    if (recompute_checksum) {
        format::HeaderBytes header;
        std::copy_n(bytes.begin(), header.size(), header.begin());
        const auto checksum = format::RawHeader(header).computed_checksum();
        std::copy(checksum.begin(), checksum.end(), bytes.begin() + 44);
    }
    write_file(path, bytes);
}

class DevShowTest : public ::testing::Test {
  protected:
    ScratchDir dir;
    fs::path root = dir.path() / "store";
};

TEST_F(DevShowTest, ValidV3FileListsEveryFieldAndMatchesItsPath) {
    // Two file blocks, so that the identity is a real tree of two leaves.
    const StoredFile file = generate_store(root, FormatVersion::V3, format::FILE_BLOCK_SIZE + 100, 2);
    const std::string checksum = hex(std::span(file.bytes).subspan(44, 8));
    const std::string listing = fmt::format(
        "File: {path}\n"
        "Actual size: 1,048,676 bytes\n"
        "KRO hash (from path): {id}\n"
        "\n"
        "KRO header (60 bytes):\n"
        "  Format version: 3\n"
        "  Parent Hash (0:20): {parent}\n"
        "    Root: no\n"
        "  Content Seed (20:36): {seed}\n"
        "  File Length (36:44): 1,048,676 bytes\n"
        "    Matches actual: yes\n"
        "  Header Checksum (44:52): {checksum}\n"
        "    Expected: {checksum}\n"
        "    Valid: yes\n"
        "  Format Descriptor (52:60): 4b524f0301011400\n"
        "    Marker (52:56): 4b524f03 (KRO v3)\n"
        "    File-ID scheme (56): 1 (KRO-Merkle-BLAKE3-160)\n"
        "    Content scheme (57): 1 (indexed SHAKE-128)\n"
        "    Block size log2 (58): 20 (1,048,576 bytes)\n"
        "    Flags (59): 0 (none set)\n"
        "\n"
        "Basic validation:\n"
        "  Header checksum valid: yes\n"
        "  Header format valid: yes\n"
        "  File length matches actual: yes\n"
        "  File length >= header size: yes\n"
        "\n"
        "Parent path: {parent_path}\n",
        fmt::arg("path", file.path.string()), fmt::arg("id", file.id.to_hex()),
        fmt::arg("parent", file.parent.to_hex()), fmt::arg("seed", file.seed.to_hex()),
        fmt::arg("checksum", checksum),
        fmt::arg("parent_path", format::store_path_of(root, file.parent).string()));

    const KroResult plain = run_kro({"dev", "show", file.path.string()});
    EXPECT_EQ(plain.out, listing);
    EXPECT_EQ(plain.err, "");
    EXPECT_EQ(plain.status, 0);

    const KroResult checked = run_kro({"dev", "show", file.path.string(), "--verify-checksum"});
    EXPECT_EQ(checked.out, listing + fmt::format("\n"
                                                 "File ID (KRO-Merkle-BLAKE3-160):\n"
                                                 "  Expected (from path): {0}\n"
                                                 "  Actual: {0}\n"
                                                 "  Matches: yes\n",
                                                 file.id.to_hex()));
    EXPECT_EQ(checked.err, "");
    EXPECT_EQ(checked.status, 0);
}

TEST_F(DevShowTest, ValidV2RootFileShowsReservedBytesAndItsChecksum) {
    const StoredFile file = generate_store(root, FormatVersion::V2, 5000, 1);
    const std::string checksum = hex(std::span(file.bytes).subspan(44, 8));
    const std::string listing = fmt::format(
        "File: {path}\n"
        "Actual size: 5,000 bytes\n"
        "KRO hash (from path): {id}\n"
        "\n"
        "KRO header (60 bytes):\n"
        "  Format version: 2\n"
        "  Parent Hash (0:20): 0000000000000000000000000000000000000000\n"
        "    Root: yes\n"
        "  Content Seed (20:36): {seed}\n"
        "  File Length (36:44): 5,000 bytes\n"
        "    Matches actual: yes\n"
        "  Header Checksum (44:52): {checksum}\n"
        "    Expected: {checksum}\n"
        "    Valid: yes\n"
        "  Reserved (52:60): 0000000000000000\n"
        "    All zeros: yes\n"
        "\n"
        "Basic validation:\n"
        "  Header checksum valid: yes\n"
        "  Header format valid: yes\n"
        "  Reserved bytes zero: yes\n"
        "  File length matches actual: yes\n"
        "  File length >= header size: yes\n",
        fmt::arg("path", file.path.string()), fmt::arg("id", file.id.to_hex()),
        fmt::arg("seed", file.seed.to_hex()), fmt::arg("checksum", checksum));

    const KroResult plain = run_kro({"dev", "show", file.path.string()});
    EXPECT_EQ(plain.out, listing);
    EXPECT_EQ(plain.status, 0);

    const KroResult checked = run_kro({"dev", "show", file.path.string(), "--verify-checksum"});
    EXPECT_EQ(checked.out, listing + fmt::format("\n"
                                                 "File checksum (BLAKE2b-160):\n"
                                                 "  Expected (from path): {0}\n"
                                                 "  Actual: {0}\n"
                                                 "  Matches: yes\n",
                                                 file.id.to_hex()));
    EXPECT_EQ(checked.err, "");
    EXPECT_EQ(checked.status, 0);
}

TEST_F(DevShowTest, FileShorterThanAHeaderIsAnErrorWithoutListing) {
    const fs::path path = dir.path() / "short";
    write_file(path, std::vector<uint8_t>(59, 0x11));
    const KroResult run = run_kro({"dev", "show", path.string()});
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "Error: File is too small to be a KRO file: expected at least 60 bytes, got 59.\n");
    EXPECT_EQ(run.status, 1);
}

TEST_F(DevShowTest, SocketsReadAsEmptyAndReadFailuresNameThePath) {
    // A socket passes the existence check and, holding no stored bytes, reads as empty.
    const fs::path socket_path = dir.path() / "sock";
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socket_path.string().size(), sizeof(address.sun_path));
    std::strcpy(address.sun_path, socket_path.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    const KroResult opening = run_kro({"dev", "show", socket_path.string()});
    ::close(fd);
    EXPECT_EQ(opening.out, "");
    EXPECT_EQ(opening.err, "Error: File is too small to be a KRO file: expected at least 60 bytes, got 0.\n");
    EXPECT_EQ(opening.status, 1);

    // The process's own memory opens, but its first page cannot be read.
    const KroResult reading = run_kro({"dev", "show", "/proc/self/mem"});
    EXPECT_EQ(reading.out, "");
    EXPECT_EQ(reading.err, "Error: reading /proc/self/mem: Input/output error\n");
    EXPECT_EQ(reading.status, 1);
}

TEST_F(DevShowTest, UnknownDescriptorIsListedAndFailsTheIdentityCheck) {
    const StoredFile file = generate_store(root, FormatVersion::V3, 200, 2);
    rewrite_descriptor(file.path, {1, 2, 3, 4, 5, 6, 7, 8}, false);

    const KroResult plain = run_kro({"dev", "show", file.path.string()});
    EXPECT_EQ(plain.status, 0);
    EXPECT_THAT(plain.out, HasSubstr("  Format version: unknown\n"));
    EXPECT_THAT(plain.out, HasSubstr("  Reserved (52:60): 0102030405060708\n    All zeros: no\n"));
    EXPECT_THAT(plain.out, HasSubstr("  Header format valid: no\n  Reserved bytes zero: no\n"));
    EXPECT_THAT(plain.out, Not(HasSubstr("Format Descriptor")));

    const KroResult checked = run_kro({"dev", "show", file.path.string(), "--verify-checksum"});
    EXPECT_EQ(checked.out, plain.out + fmt::format("\n"
                                                   "File identity:\n"
                                                   "  Expected (from path): {}\n"
                                                   "  Actual: <unavailable: unknown header format>\n"
                                                   "  Matches: no\n",
                                                   file.id.to_hex()));
    EXPECT_EQ(checked.err, "");
    EXPECT_EQ(checked.status, 1);
}

TEST_F(DevShowTest, UnsupportedDescriptorBytesAreDescribedWhileTheChecksumHolds) {
    struct Case {
        std::array<uint8_t, 8> descriptor;
        std::string line;
    };
    const Case cases[] = {
        {{0x4b, 0x52, 0x4f, 0x03, 1, 1, 21, 0}, "    Block size log2 (58): 21 (2,097,152 bytes)\n"},
        {{0x4b, 0x52, 0x4f, 0x03, 1, 1, 63, 0},
         "    Block size log2 (58): 63 (9,223,372,036,854,775,808 bytes)\n"},
        {{0x4b, 0x52, 0x4f, 0x03, 1, 1, 64, 0}, "    Block size log2 (58): 64 (unrecognized bytes)\n"},
        {{0x4b, 0x52, 0x4f, 0x03, 1, 1, 20, 5}, "    Flags (59): 5 (unrecognized)\n"},
        {{0x4b, 0x52, 0x4f, 0x03, 2, 1, 20, 0}, "    File-ID scheme (56): 2 (unrecognized)\n"},
        {{0x4b, 0x52, 0x4f, 0x03, 1, 0, 20, 0}, "    Content scheme (57): 0 (unrecognized)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        ScratchDir here;
        const StoredFile file = generate_store(here.path(), FormatVersion::V3, 300, 2);
        rewrite_descriptor(file.path, c.descriptor, true);
        const KroResult run = run_kro({"dev", "show", file.path.string()});
        EXPECT_EQ(run.status, 0);
        EXPECT_THAT(run.out, HasSubstr(c.line));
        EXPECT_THAT(run.out, HasSubstr("    Valid: yes\n"));
        EXPECT_THAT(run.out, HasSubstr("  Header checksum valid: yes\n  Header format valid: no\n"));
        EXPECT_THAT(run.out, HasSubstr(fmt::format("  Format Descriptor (52:60): {}\n", hex(c.descriptor))));
        EXPECT_THAT(run.out, Not(HasSubstr("Reserved")));
    }
}

TEST_F(DevShowTest, AlteredDescriptorWithoutNewChecksumFailsTheChecksum) {
    const StoredFile file = generate_store(root, FormatVersion::V3, 300, 2);
    rewrite_descriptor(file.path, {0x4b, 0x52, 0x4f, 0x03, 1, 1, 21, 0}, false);
    const KroResult run = run_kro({"dev", "show", file.path.string()});
    const std::string stored = hex(std::span(file.bytes).subspan(44, 8));
    EXPECT_THAT(run.out, HasSubstr(fmt::format("  Header Checksum (44:52): {}\n", stored)));
    EXPECT_THAT(run.out, Not(HasSubstr(fmt::format("    Expected: {}\n", stored))));
    EXPECT_THAT(run.out, HasSubstr("    Valid: no\n"));
    EXPECT_THAT(run.out, HasSubstr("  Header checksum valid: no\n  Header format valid: no\n"));
}

TEST_F(DevShowTest, ExtendedFileNoLongerMatchesItsLengthOrItsId) {
    const StoredFile file = generate_store(root, FormatVersion::V3, 1000, 2);
    std::vector<uint8_t> longer = file.bytes;
    longer.push_back(0);
    write_file(file.path, longer);

    const KroResult run = run_kro({"dev", "show", file.path.string(), "--verify-checksum"});
    EXPECT_THAT(run.out, HasSubstr("Actual size: 1,001 bytes\n"));
    EXPECT_THAT(run.out, HasSubstr("  File Length (36:44): 1,000 bytes\n    Matches actual: no\n"));
    EXPECT_THAT(run.out, HasSubstr("  File length matches actual: no\n"));
    EXPECT_THAT(run.out, HasSubstr("  Header format valid: yes\n"));
    EXPECT_THAT(run.out, HasSubstr(fmt::format("  Actual: {}\n  Matches: no\n",
                                               file_id_of(longer, FormatVersion::V3).to_hex())));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 1);
}

TEST_F(DevShowTest, CopyOutsideAStoreHasNoPathIdentity) {
    const StoredFile file = generate_store(root, FormatVersion::V3, 400, 2);
    const fs::path copy = dir.path() / "x";
    fs::copy_file(file.path, copy);

    const KroResult run = run_kro({"dev", "show", copy.string(), "--verify-checksum"});
    EXPECT_THAT(run.out, Not(HasSubstr("KRO hash (from path)")));
    EXPECT_THAT(run.out, Not(HasSubstr("Parent path:")));
    EXPECT_THAT(run.out, HasSubstr(fmt::format("\nFile ID (KRO-Merkle-BLAKE3-160):\n"
                                               "  Expected (from path): <unavailable: not in KRO layout>\n"
                                               "  Actual: {}\n"
                                               "  Matches: no\n",
                                               file.id.to_hex())));
    EXPECT_EQ(run.status, 1);
}

TEST_F(DevShowTest, RelativePathFindsTheStoreRootFromTheCurrentDirectory) {
    const StoredFile file = generate_store(root, FormatVersion::V3, 400, 2);
    KroRun run;
    run.args = {"dev", "show", "./" + fs::relative(file.path, root).string()};
    run.cwd = root.string();
    run.env = {{"TERM", std::nullopt}, {"NO_COLOR", std::nullopt}};
    const KroResult result = run_kro(run);
    EXPECT_THAT(result.out, HasSubstr(fmt::format("KRO hash (from path): {}\n", file.id.to_hex())));
    EXPECT_THAT(result.out, HasSubstr(fmt::format("\nParent path: {}\n",
                                                  format::store_path_of(root, file.parent).string())));
    EXPECT_EQ(result.status, 0);
}

TEST_F(DevShowTest, SymbolicLinkShowsTheFileItPointsTo) {
    const StoredFile file = generate_store(root, FormatVersion::V3, 777, 2);
    const fs::path link = dir.path() / "link";
    fs::create_symlink(file.path, link);
    const KroResult run = run_kro({"dev", "show", link.string()});
    EXPECT_THAT(run.out, HasSubstr(fmt::format("File: {}\nActual size: 777 bytes\n\n", link.string())));
    EXPECT_THAT(run.out, HasSubstr("    Matches actual: yes\n"));
    EXPECT_EQ(run.status, 0);
}

TEST_F(DevShowTest, ColourOnlyOnATerminalThatAllowsIt) {
    const StoredFile file = generate_store(root, FormatVersion::V3, 500, 1);
    const std::string plain = run_kro({"dev", "show", file.path.string()}).out;

    KroRun terminal;
    terminal.args = {"dev", "show", file.path.string(), "--verify-checksum"};
    terminal.stdout_tty = true;
    terminal.env = {{"TERM", "xterm"}, {"NO_COLOR", std::nullopt}};
    const KroResult painted = run_kro(terminal);
    EXPECT_THAT(painted.out,
                ::testing::StartsWith(fmt::format("\x1b[1mFile:\x1b[0m {}\n", file.path.string())));
    EXPECT_THAT(painted.out, HasSubstr("\x1b[1mKRO header\x1b[0m (60 bytes):\n"));
    EXPECT_THAT(painted.out, HasSubstr("    Root: \x1b[32myes\x1b[0m\n"));
    EXPECT_THAT(painted.out, HasSubstr("\x1b[1mBasic validation:\x1b[0m\n"));
    EXPECT_THAT(painted.out, HasSubstr("\x1b[1mFile ID\x1b[0m (KRO-Merkle-BLAKE3-160):\n"));
    EXPECT_THAT(painted.out, HasSubstr("  Matches: \x1b[32myes\x1b[0m\n"));
    EXPECT_EQ(painted.status, 0);

    for (const auto& [name, value] : {std::pair{"NO_COLOR", "1"}, std::pair{"TERM", "dumb"}}) {
        SCOPED_TRACE(name);
        KroRun muted;
        muted.args = {"dev", "show", file.path.string()};
        muted.stdout_tty = true;
        muted.env = {{"TERM", "xterm"}, {"NO_COLOR", std::nullopt}};
        muted.env[name] = value;
        const KroResult result = run_kro(muted);
        EXPECT_THAT(result.out, Not(HasSubstr(ESC)));
        EXPECT_EQ(result.out, plain);
    }
}

TEST(StoreRoot, FourLevelsAboveTheLexicallyAbsolutePath) {
    struct Case {
        std::string path;
        std::optional<std::string> cwd;
        std::optional<std::string> root;
    };
    const Case cases[] = {
        {"/s/ab/cd/ef/name", std::nullopt, "/s"},
        {"/ab/cd/ef/name", std::nullopt, "/"},
        {"/cd/ef/name", std::nullopt, std::nullopt},
        {"ab/cd/ef/name", "/work/s", "/work/s"},
        {"ab/cd/ef/name", std::nullopt, std::nullopt},
        {"./ab//cd/./ef/name/", "/w", "/w"},
        {"/s/../t/ab/cd/ef/name", std::nullopt, "/s/../t"},
        {"../ab/cd/ef/name", "/w/x", "/w/x/.."},
        {"cd/ef/name", "/", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const auto cwd = c.cwd ? std::optional<fs::path>(*c.cwd) : std::nullopt;
        const auto root = cli::store_root_of(c.path, cwd);
        ASSERT_EQ(root.has_value(), c.root.has_value());
        if (root) {
            EXPECT_EQ(root->string(), *c.root);
        }
    }
}

}  // namespace
}  // namespace kro::test
