// `kro dev corrupt-file`, run as the built binary; the seeded bytes are checked against a
// ChaCha12 keystream computed here from its definition.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <bit>

#include "cli/dev/corrupt.hpp"
#include "content_fixture.hpp"
#include "kro_process.hpp"

namespace kro::test {
namespace {

using ::testing::HasSubstr;

// The ChaCha block function with `rounds` rounds, from its definition.
std::array<uint32_t, 16> chacha_block(const std::array<uint32_t, 16>& input, int rounds) {
    std::array<uint32_t, 16> x = input;
    const auto quarter = [&x](int a, int b, int c, int d) {
        x[a] += x[b], x[d] = std::rotl(x[d] ^ x[a], 16);
        x[c] += x[d], x[b] = std::rotl(x[b] ^ x[c], 12);
        x[a] += x[b], x[d] = std::rotl(x[d] ^ x[a], 8);
        x[c] += x[d], x[b] = std::rotl(x[b] ^ x[c], 7);
    };
    for (int i = 0; i < rounds; i += 2) {
        quarter(0, 4, 8, 12), quarter(1, 5, 9, 13), quarter(2, 6, 10, 14), quarter(3, 7, 11, 15);
        quarter(0, 5, 10, 15), quarter(1, 6, 11, 12), quarter(2, 7, 8, 13), quarter(3, 4, 9, 14);
    }
    for (size_t i = 0; i < 16; ++i) x[i] += input[i];
    return x;
}

// The first `n` bytes that `--seed` writes: eight PCG32 outputs as the key, then the ChaCha12
// keystream of stream 0 from block 0, each word least significant byte first.
std::vector<uint8_t> seeded_bytes(uint64_t seed, size_t n) {
    std::array<uint32_t, 16> state = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
    uint64_t pcg = seed;
    for (size_t i = 0; i < 8; ++i) {
        pcg = pcg * 0x5851F42D4C957F2DULL + 0xA17654E46FBE17F3ULL;
        state[4 + i] =
            std::rotr(static_cast<uint32_t>(((pcg >> 18) ^ pcg) >> 27), static_cast<int>(pcg >> 59));
    }
    std::vector<uint8_t> out;
    for (uint64_t counter = 0; out.size() < n; ++counter) {
        state[12] = static_cast<uint32_t>(counter);
        state[13] = static_cast<uint32_t>(counter >> 32);
        for (uint32_t word : chacha_block(state, 12)) {
            for (int b = 0; b < 4; ++b) out.push_back(static_cast<uint8_t>(word >> (8 * b)));
        }
    }
    out.resize(n);
    return out;
}

TEST(ChaChaReference, TwentyRoundsGiveTheKnownBlock) {
    // The published ChaCha20 block for key 00..1f, block counter 1, nonce 000000090000004a00000000.
    const std::array<uint32_t, 16> input = {
        0x61707865, 0x3320646e, 0x79622d32, 0x6b206574, 0x03020100, 0x07060504, 0x0b0a0908, 0x0f0e0d0c,
        0x13121110, 0x17161514, 0x1b1a1918, 0x1f1e1d1c, 0x00000001, 0x09000000, 0x4a000000, 0x00000000};
    const std::array<uint32_t, 16> expected = {
        0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3, 0xc7f4d1c7, 0x0368c033, 0x9aaa2204, 0x4e6cd4c3,
        0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9, 0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
    EXPECT_EQ(chacha_block(input, 20), expected);
}

std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(0x80 | (i % 61));
    return bytes;
}

std::string opening(const fs::path& path, const std::string& preset, const std::string& range) {
    return fmt::format("Corrupting file: {}\nPreset: {}\nRange: bytes {}\n", path.string(), preset, range);
}

class CorruptFileTest : public ::testing::Test {
  protected:
    ScratchDir dir;
    fs::path make(const std::string& name, const std::vector<uint8_t>& bytes) {
        const fs::path path = dir.path() / name;
        write_file(path, bytes);
        return path;
    }
};

TEST_F(CorruptFileTest, DefaultsReplaceTheFirstHundredBytesWithRandomData) {
    const std::vector<uint8_t> original = pattern(1000);
    const fs::path a = make("a", original);
    const fs::path b = make("b", original);
    const KroResult run = run_kro({"dev", "corrupt-file", a.string()});
    EXPECT_EQ(run.out, opening(a, "random", "0 to 99 (100 bytes)") +
                           "Filled 100 bytes with random data\nCorruption complete.\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(run_kro({"dev", "corrupt-file", b.string()}).status, 0);

    const std::vector<uint8_t> after_a = read_file(a);
    const std::vector<uint8_t> after_b = read_file(b);
    ASSERT_EQ(after_a.size(), 1000u);
    EXPECT_TRUE(std::equal(after_a.begin() + 100, after_a.end(), original.begin() + 100));
    EXPECT_FALSE(std::equal(after_a.begin(), after_a.begin() + 100, original.begin()));
    // Without a seed, every run draws new bytes.
    EXPECT_FALSE(std::equal(after_a.begin(), after_a.begin() + 100, after_b.begin()));
}

TEST_F(CorruptFileTest, StartAtOrPastTheEndChangesNothing) {
    struct Case {
        size_t size;
        std::string start;
        std::string range;
    };
    const Case cases[] = {
        {1000, "1000", "1000 to 1099 (100 bytes)"},
        {0, "0", "0 to 99 (100 bytes)"},
        {1000, "18446744073709551615", "18446744073709551615 to 18446744073709551714 (100 bytes)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.start);
        const std::vector<uint8_t> original = pattern(c.size);
        const fs::path path = make("f", original);
        const KroResult run =
            run_kro({"dev", "corrupt-file", path.string(), "--start", c.start, "--preset", "zero"});
        EXPECT_EQ(run.out, opening(path, "zero", c.range));
        EXPECT_EQ(run.err, fmt::format("Error: Start offset {} is beyond file size {}\n", c.start, c.size));
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(read_file(path), original);
    }
}

TEST_F(CorruptFileTest, RangePastTheEndIsShortenedNeverExtended) {
    const std::vector<uint8_t> original = pattern(1000);
    const fs::path path = make("f", original);
    const KroResult run = run_kro(
        {"dev", "corrupt-file", path.string(), "--preset", "zero", "--start", "990", "--length", "100"});
    EXPECT_EQ(run.out, opening(path, "zero", "990 to 1089 (100 bytes)") +
                           "Warning: Corruption range extends beyond file size. Truncating to 10 bytes.\n"
                           "Zeroed out 10 bytes\nCorruption complete.\n");
    EXPECT_EQ(run.status, 0);
    std::vector<uint8_t> expected = original;
    std::fill(expected.begin() + 990, expected.end(), 0);
    EXPECT_EQ(read_file(path), expected);
}

TEST_F(CorruptFileTest, EmptyRangeWritesNothing) {
    const std::vector<uint8_t> original = pattern(100);
    const fs::path path = make("f", original);
    const KroResult zero =
        run_kro({"dev", "corrupt-file", path.string(), "--preset", "zero", "--start", "0", "--length", "0"});
    EXPECT_EQ(zero.out,
              opening(path, "zero", "0 to -1 (0 bytes)") + "Zeroed out 0 bytes\nCorruption complete.\n");
    EXPECT_EQ(zero.status, 0);
    const KroResult random = run_kro({"dev", "corrupt-file", path.string(), "--start", "7", "--length", "0"});
    EXPECT_EQ(random.out, opening(path, "random", "7 to 6 (0 bytes)") +
                              "Filled 0 bytes with random data\nCorruption complete.\n");
    EXPECT_EQ(random.status, 0);
    EXPECT_EQ(read_file(path), original);
}

TEST_F(CorruptFileTest, SeededBytesAreTheKeyedChaCha12Stream) {
    // 200000 bytes go out as 65536 * 3 + 3392; the last piece is not a multiple of the word size.
    const std::vector<uint8_t> original = pattern(250001);
    struct Case {
        std::string seed;
        uint64_t value;
        size_t start;
        size_t length;
    };
    const Case cases[] = {
        {"0", 0, 1000, 200000},
        {"1", 1, 1000, 200000},
        {"18446744073709551615", 18446744073709551615ULL, 3, 65539},
    };
    std::vector<std::vector<uint8_t>> written;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seed);
        const fs::path path = make("f", original);
        const KroResult run = run_kro({"dev", "corrupt-file", path.string(), "--seed", c.seed, "--start",
                                       std::to_string(c.start), "--length", std::to_string(c.length)});
        EXPECT_EQ(run.out,
                  opening(path, "random",
                          fmt::format("{} to {} ({} bytes)", c.start, c.start + c.length - 1, c.length)) +
                      fmt::format("Using random seed: {}\nFilled {} bytes with random data\n"
                                  "Corruption complete.\n",
                                  c.seed, c.length));
        EXPECT_EQ(run.status, 0);

        std::vector<uint8_t> expected = original;
        const std::vector<uint8_t> stream = seeded_bytes(c.value, c.length);
        std::copy(stream.begin(), stream.end(), expected.begin() + static_cast<ptrdiff_t>(c.start));
        const std::vector<uint8_t> after = read_file(path);
        EXPECT_TRUE(after == expected);
        written.push_back(after);
    }
    EXPECT_NE(written[0], written[1]);

    // The same seed on another copy gives the same bytes.
    const fs::path again = make("again", original);
    ASSERT_EQ(run_kro({"dev", "corrupt-file", again.string(), "--seed", "0", "--start", "1000", "--length",
                       "200000"})
                  .status,
              0);
    EXPECT_TRUE(read_file(again) == written[0]);
}

TEST_F(CorruptFileTest, ZeroPresetIgnoresTheSeed) {
    const std::vector<uint8_t> original = pattern(300);
    const fs::path path = make("f", original);
    const KroResult run = run_kro({"dev", "corrupt-file", path.string(), "--preset", "zero", "--seed", "5",
                                   "--start", "10", "--length", "20"});
    EXPECT_EQ(run.out,
              opening(path, "zero", "10 to 29 (20 bytes)") + "Zeroed out 20 bytes\nCorruption complete.\n");
    EXPECT_EQ(run.status, 0);
    std::vector<uint8_t> expected = original;
    std::fill(expected.begin() + 10, expected.begin() + 30, 0);
    EXPECT_EQ(read_file(path), expected);
}

TEST_F(CorruptFileTest, DirectoryFailsWhenOpened) {
    const fs::path path = dir.path() / "d";
    fs::create_directory(path);
    const KroResult run = run_kro({"dev", "corrupt-file", path.string()});
    EXPECT_EQ(run.out, opening(path, "random", "0 to 99 (100 bytes)"));
    EXPECT_EQ(run.err, fmt::format("Error: corrupting {}: Is a directory\n", path.string()));
    EXPECT_EQ(run.status, 1);
}

TEST_F(CorruptFileTest, ReadOnlyFileFailsWhenOpened) {
    if (::geteuid() == 0) GTEST_SKIP() << "file permissions do not bind the superuser";
    const std::vector<uint8_t> original = pattern(100);
    const fs::path path = make("f", original);
    fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const KroResult run = run_kro({"dev", "corrupt-file", path.string(), "--preset", "zero"});
    EXPECT_EQ(run.out, opening(path, "zero", "0 to 99 (100 bytes)"));
    EXPECT_EQ(run.err, fmt::format("Error: corrupting {}: Permission denied\n", path.string()));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(read_file(path), original);
}

TEST(OverwriteRange, WritesBoundedPiecesInOrder) {
    ScratchDir dir;
    const fs::path path = dir.path() / "f";
    write_file(path, std::vector<uint8_t>(200010, 0xee));
    const int fd = ::open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::lseek(fd, 10, SEEK_SET), 10);
    std::vector<size_t> pieces;
    uint8_t next = 0;
    const auto written = cli::overwrite_range(fd, 200000, [&](std::span<uint8_t> piece) {
        pieces.push_back(piece.size());
        for (uint8_t& b : piece) b = next++;
    });
    ::close(fd);
    ASSERT_TRUE(written.has_value());
    EXPECT_EQ(pieces, (std::vector<size_t>{65536, 65536, 65536, 3392}));
    const std::vector<uint8_t> after = read_file(path);
    ASSERT_EQ(after.size(), 200010u);
    for (size_t i = 0; i < after.size(); ++i) {
        const uint8_t expected = i < 10 ? 0xee : static_cast<uint8_t>(i - 10);
        ASSERT_EQ(after[i], expected) << "at " << i;
    }
}

TEST(OverwriteRange, EmptyRangeFillsNothingAndAFailedWriteStops) {
    ScratchDir dir;
    const fs::path path = dir.path() / "f";
    write_file(path, std::vector<uint8_t>(10, 1));
    const int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    size_t calls = 0;
    const auto count = [&](std::span<uint8_t>) { ++calls; };
    EXPECT_TRUE(cli::overwrite_range(fd, 0, count).has_value());
    EXPECT_EQ(calls, 0u);
    const auto refused = cli::overwrite_range(fd, 100000, count);
    ::close(fd);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().message(), "Bad file descriptor");
    EXPECT_EQ(calls, 1u);
}

// The path is opened after its size was read, so anything may have been put there meanwhile:
// only a regular file is ever written, and opening never waits for a fifo's other end.
TEST(OpenForOverwrite, OpensOnlyARegularFileAtTheStart) {
    ScratchDir dir;
    const fs::path file = dir.path() / "f";
    write_file(file, std::vector<uint8_t>(10, 1));
    const auto opened = cli::open_for_overwrite(file, 7);
    ASSERT_TRUE(opened.has_value());
    EXPECT_EQ(::lseek(opened->get(), 0, SEEK_CUR), 7);

    const fs::path fifo = dir.path() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const fs::path& path : {fifo, fs::path("/dev/null")}) {
        const auto refused = cli::open_for_overwrite(path, 0);
        ASSERT_FALSE(refused.has_value()) << path;
        EXPECT_EQ(refused.error().message(), "not a regular file") << path;
    }
}

TEST(RangeEnd, IsExactBeyondSixtyFourBits) {
    EXPECT_EQ(fmt::format("{}", cli::range_end(0, 0)), "-1");
    EXPECT_EQ(fmt::format("{}", cli::range_end(0, 100)), "99");
    EXPECT_EQ(fmt::format("{}", cli::range_end(18446744073709551615ULL, 18446744073709551615ULL)),
              "36893488147419103229");
}

}  // namespace
}  // namespace kro::test
