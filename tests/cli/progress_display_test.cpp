#include "cli/output/progress_display.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace kro::cli {
namespace {

using namespace std::chrono_literals;
using store::ProgressSnapshot;

constexpr uint64_t KIB = 1024;
constexpr uint64_t TIB = uint64_t{1} << 40;

TEST(ProgressFormatTest, BytesUsePowersOf1024AndTruncate) {
    const std::vector<std::pair<uint64_t, std::string>> cases = {
        {0, "0 B"},
        {1023, "1023 B"},
        {1024, "1.00 KiB"},
        {1075, "1.04 KiB"},
        {1536, "1.50 KiB"},
        {10239, "9.99 KiB"},
        {10240, "10.0 KiB"},
        {102399, "99.9 KiB"},
        {102400, "100 KiB"},
        {1048575, "1023 KiB"},
        {1048576, "1.00 MiB"},
        {uint64_t{3} << 30, "3.00 GiB"},
        {5 * TIB, "5.00 TiB"},
        {18446744073709551615ull, "16777215 TiB"},
    };
    for (const auto& [n, text] : cases) EXPECT_EQ(format_bytes(n), text) << n;
}

TEST(ProgressFormatTest, DurationsShowTheTwoLargestUnits) {
    const std::vector<std::pair<uint64_t, std::string>> cases = {
        {0, "<1s"},     {1, "1s"},         {5, "5s"},        {59, "59s"},      {60, "1m 00s"},
        {65, "1m 05s"}, {3599, "59m 59s"}, {3600, "1h 00m"}, {7322, "2h 02m"}, {360000, "100h 00m"},
    };
    for (const auto& [s, text] : cases) EXPECT_EQ(format_duration(s), text) << s;
}

TEST(ProgressFormatTest, BarHasSixteenCellsWithATip) {
    EXPECT_EQ(render_bar(0.0), "────────────────");
    EXPECT_EQ(render_bar(-0.5), "────────────────");
    EXPECT_EQ(render_bar(0.06), "────────────────");
    EXPECT_EQ(render_bar(1.0 / 16), "╺───────────────");
    EXPECT_EQ(render_bar(0.5), "━━━━━━━╺────────");
    EXPECT_EQ(render_bar(15.0 / 16), "━━━━━━━━━━━━━━╺─");
    EXPECT_EQ(render_bar(0.999), "━━━━━━━━━━━━━━╺─");
    EXPECT_EQ(render_bar(1.0), "━━━━━━━━━━━━━━━━");
    EXPECT_EQ(render_bar(2.0), "━━━━━━━━━━━━━━━━");
}

TEST(ProgressFormatTest, FractionRulesOfBothModes) {
    struct Case {
        ProgressSnapshot snapshot;
        ProgressMode mode;
        double fraction;
    };
    const std::vector<Case> cases = {
        // generation: the further of the two
        {{100, 10, 30, 5}, ProgressMode::Generate, 0.5},
        {{100, 10, 80, 5}, ProgressMode::Generate, 0.8},
        {{100, std::nullopt, 30, 5}, ProgressMode::Generate, 0.3},
        {{std::nullopt, 10, 30, 5}, ProgressMode::Generate, 0.5},
        {{std::nullopt, std::nullopt, 30, 5}, ProgressMode::Generate, 0.0},
        {{0, 0, 0, 0}, ProgressMode::Generate, 1.0},
        {{100, 10, 300, 5}, ProgressMode::Generate, 1.0},
        // verification: the bytes, held below 100% while a file is outstanding
        {{100, 10, 30, 5}, ProgressMode::Verify, 0.3},
        {{100, 10, 100, 9}, ProgressMode::Verify, 0.99},
        {{100, 10, 100, 10}, ProgressMode::Verify, 1.0},
        {{std::nullopt, 10, 0, 5}, ProgressMode::Verify, 0.5},
        {{std::nullopt, std::nullopt, 7, 5}, ProgressMode::Verify, 0.0},
        {{0, 1, 0, 0}, ProgressMode::Verify, 0.99},
    };
    for (const Case& c : cases) {
        EXPECT_DOUBLE_EQ(progress_fraction(c.snapshot, c.mode), c.fraction)
            << c.snapshot.bytes_done << "/" << c.snapshot.bytes_total.value_or(0) << " "
            << c.snapshot.files_done << "/" << c.snapshot.files_total.value_or(0) << " mode "
            << static_cast<int>(c.mode);
    }
}

std::string line(std::string_view label, ProgressMode mode, ProgressSnapshot snapshot,
                 std::chrono::nanoseconds elapsed, std::optional<bool> final_success = std::nullopt,
                 bool color = false) {
    return render_progress_line({label, mode, snapshot, elapsed, final_success, color});
}

TEST(ProgressLineTest, RunningLineHasEveryPieceInOrder) {
    // 2 s in, half of the files: rate 1 MiB / 2 s, ETA 2 s; 25 frames of 80 ms gives spinner frame 5.
    EXPECT_EQ(line("Generate", ProgressMode::Generate, {4 * 1048576, 10, 1048576, 5}, 2s),
              "\x1b[?7l\r\x1b[2K⠴ Generate ━━━━━━━╺────────  50%  1.00 MiB / 4.00 MiB  5 / 10 files  512 "
              "KiB/s  ETA 2s"
              "\x1b[?7h");
}

TEST(ProgressLineTest, LabelIsPaddedToEightAndNeverCut) {
    const std::string verify = line("Verify", ProgressMode::Verify, {100, 1, 100, 1}, 0s);
    EXPECT_NE(verify.find("⠋ Verify   ━"), std::string::npos) << verify;
    const std::string long_label = line("Verifying", ProgressMode::Verify, {100, 1, 100, 1}, 0s);
    EXPECT_NE(long_label.find("⠋ Verifying ━"), std::string::npos) << long_label;
}

TEST(ProgressLineTest, WithoutTotalsShowsProcessedFilesAndNoEstimate) {
    EXPECT_EQ(
        line("Generate", ProgressMode::Generate, {std::nullopt, std::nullopt, 2048, 3}, 50ms),
        "\x1b[?7l\r\x1b[2K⠋ Generate ────────────────   0%  2.00 KiB processed  3 files  ETA —\x1b[?7h");
}

TEST(ProgressLineTest, RateAndEstimateNeedATenthOfASecondAndSomeBytes) {
    const std::string early = line("Generate", ProgressMode::Generate, {1000, 10, 500, 5}, 99ms);
    EXPECT_EQ(early.find("/s"), std::string::npos) << early;
    EXPECT_NE(early.find("ETA —"), std::string::npos) << early;
    const std::string no_bytes = line("Generate", ProgressMode::Generate, {1000, 10, 0, 5}, 1s);
    EXPECT_EQ(no_bytes.find("/s"), std::string::npos) << no_bytes;
    EXPECT_NE(no_bytes.find("ETA 1s"), std::string::npos) << no_bytes;
    // At 100% there is nothing left to estimate.
    const std::string done = line("Generate", ProgressMode::Generate, {1000, 10, 1000, 10}, 1s);
    EXPECT_NE(done.find("100%"), std::string::npos) << done;
    EXPECT_NE(done.find("ETA —"), std::string::npos) << done;
}

TEST(ProgressLineTest, VerificationStopsAt99WhileAFileIsOutstanding) {
    const std::string text = line("Verify", ProgressMode::Verify, {KIB, 2, KIB, 1}, 1s);
    EXPECT_NE(text.find(" 99%"), std::string::npos) << text;
}

TEST(ProgressLineTest, HugeEstimateDoesNotStopTheProgram) {
    const std::string text =
        line("Verify", ProgressMode::Verify, {18446744073709551615ull, std::nullopt, 1, 0}, 1000s);
    EXPECT_NE(text.find("ETA "), std::string::npos) << text;
}

TEST(ProgressLineTest, FinalLinesShowTheMarkAFullBarAndTheElapsedTime) {
    EXPECT_EQ(line("Generate", ProgressMode::Generate, {std::nullopt, std::nullopt, 2048, 2}, 65s, true),
              "\x1b[?7l\r\x1b[2K✓ Generate ━━━━━━━━━━━━━━━━ 100%  2.00 KiB processed  2 files  31 B/s  1m "
              "05s\x1b[?7h");
    EXPECT_EQ(line("Verify", ProgressMode::Verify, {100, 1, 10, 0}, 0s, false),
              "\x1b[?7l\r\x1b[2K✗ Verify   ━━━━━━━━━━━━━━━━ 100%  10 B / 100 B  0 / 1 files  <1s\x1b[?7h");
}

TEST(ProgressLineTest, ColourPaintsMarkAndBarOnly) {
    const std::string running = line("Verify", ProgressMode::Verify, {100, 1, 50, 0}, 0s, std::nullopt, true);
    EXPECT_EQ(
        running,
        "\x1b[?7l\r\x1b[2K\x1b[36m⠋\x1b[0m Verify   \x1b[36m━━━━━━━╺────────\x1b[0m  50%  50 B / 100 B  "
        "0 / 1 files  ETA —\x1b[?7h");
    const std::string success = line("Verify", ProgressMode::Verify, {100, 1, 100, 1}, 0s, true, true);
    EXPECT_NE(success.find("\x1b[32m✓\x1b[0m Verify   \x1b[32m━━━━━━━━━━━━━━━━\x1b[0m"), std::string::npos);
    const std::string failure = line("Verify", ProgressMode::Verify, {100, 1, 100, 1}, 0s, false, true);
    EXPECT_NE(failure.find("\x1b[31m✗\x1b[0m Verify   \x1b[31m━━━━━━━━━━━━━━━━\x1b[0m"), std::string::npos);
}

// A display on a fake terminal whose clock the test moves.
struct FakeTerminal {
    std::vector<std::string> writes;
    std::chrono::steady_clock::time_point now{};

    ProgressDisplay display(bool enabled = true) {
        return ProgressDisplay(
            "Generate", ProgressMode::Generate,
            ProgressTerminal{enabled, false, [this](std::string_view text) { writes.emplace_back(text); },
                             [this] { return now; }});
    }
};

TEST(ProgressDisplayTest, RedrawsAtMostEveryEightyMilliseconds) {
    FakeTerminal terminal;
    const ProgressDisplay display = terminal.display();
    display.update({100, 10, 10, 1});  // the first update always draws
    terminal.now += 10ms;
    display.update({100, 10, 20, 2});
    ASSERT_EQ(terminal.writes.size(), 1u);
    EXPECT_NE(terminal.writes[0].find("10 B / 100 B"), std::string::npos);
    terminal.now += 70ms;
    display.update({100, 10, 30, 3});
    ASSERT_EQ(terminal.writes.size(), 2u);
    EXPECT_NE(terminal.writes[1].find("30 B / 100 B"), std::string::npos);
}

TEST(ProgressDisplayTest, FinishShowsTheLatestSnapshotAndEndsTheLine) {
    FakeTerminal terminal;
    const ProgressDisplay display = terminal.display();
    display.update({100, 10, 10, 1});
    terminal.now += 10ms;
    display.update({100, 10, 60, 6});  // kept, not drawn
    display.finish(true);
    ASSERT_EQ(terminal.writes.size(), 3u);
    EXPECT_NE(terminal.writes[1].find("✓ Generate"), std::string::npos);
    EXPECT_NE(terminal.writes[1].find("60 B / 100 B  6 / 10 files"), std::string::npos);
    EXPECT_EQ(terminal.writes[2], "\n");
    display.clear();  // nothing left to erase
    EXPECT_EQ(terminal.writes.size(), 3u);
}

TEST(ProgressDisplayTest, FinishWithoutAnySnapshotWritesNothing) {
    FakeTerminal terminal;
    terminal.display().finish(true);
    terminal.display().clear();
    EXPECT_TRUE(terminal.writes.empty());
}

TEST(ProgressDisplayTest, ClearErasesADrawnLineOnce) {
    FakeTerminal terminal;
    const ProgressDisplay display = terminal.display();
    display.update({100, 10, 10, 1});
    display.clear();
    display.clear();
    ASSERT_EQ(terminal.writes.size(), 2u);
    EXPECT_EQ(terminal.writes[1], "\r\x1b[2K");
}

TEST(ProgressDisplayTest, DisabledDisplayWritesNothingAtAll) {
    FakeTerminal terminal;
    const ProgressDisplay display = terminal.display(false);
    display.update({100, 10, 10, 1});
    display.finish(false);
    display.clear();
    EXPECT_TRUE(terminal.writes.empty());
}

TEST(ProgressDisplayTest, ObserverPassesSnapshotsToTheSameDisplay) {
    FakeTerminal terminal;
    const ProgressDisplay display = terminal.display();
    {
        const store::ProgressObserver observer = display.observer();
        (*observer)({100, 10, 40, 4});
    }
    ASSERT_EQ(terminal.writes.size(), 1u);
    EXPECT_NE(terminal.writes[0].find("40 B / 100 B"), std::string::npos);
}

}  // namespace
}  // namespace kro::cli
