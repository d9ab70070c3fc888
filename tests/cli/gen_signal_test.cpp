// `gen` stopped by a signal while it writes a file: the temporary file goes, no chain tip is
// recorded, and the process ends by that same signal (status 128 + the signal in a shell).

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "content_fixture.hpp"
#include "kro_process.hpp"

namespace kro::test {
namespace {

namespace fs = std::filesystem;

struct Interruption {
    std::string name;
    int signal;
    std::string jobs;  // 1: the sequential writer; 4: the parallel writer
};

// The case's name, so that the test list shows no raw bytes.
void PrintTo(const Interruption& c, std::ostream* out) {
    *out << c.name;
}

// True once the child has ended; it is left for run_kro to collect.
bool has_ended(pid_t pid) {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid;
}

// Waits until the child has a temporary file in the store root, then sends the signal. A child
// that ends before it has one (a gen that failed) is not waited for.
void signal_mid_file(const fs::path& root, pid_t pid, int sig) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (temporary_files(root).empty() && std::chrono::steady_clock::now() < deadline) {
        if (has_ended(pid)) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ::kill(pid, sig);
}

class GenSignal : public ::testing::TestWithParam<Interruption> {
  protected:
    ScratchDir scratch_;
    const fs::path& dir_ = scratch_.path();
};

TEST_P(GenSignal, RemovesTheTemporaryFileAndEndsBySameSignal) {
    const Interruption& c = GetParam();
    const fs::path root = dir_ / "store";
    KroRun run;
    // Files large enough that the signal lands while one is written.
    run.args = {"gen",         "--directory", root.string(), "--max-files", "1000",
                "--file-size", "256MB",       "--jobs",      c.jobs};
    run.env = {{"TERM", std::nullopt}, {"NO_COLOR", std::nullopt}};
    run.while_running = [&](pid_t pid) { signal_mid_file(root, pid, c.signal); };
    const KroResult result = run_kro(run);
    EXPECT_EQ(result.status, 128 + c.signal) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(temporary_files(root), std::vector<std::string>{});
    EXPECT_FALSE(fs::exists(root / ".metadata")) << "an interrupted run records no chain tip";
}

INSTANTIATE_TEST_SUITE_P(Signals, GenSignal,
                         ::testing::Values(Interruption{"InterruptSequential", SIGINT, "1"},
                                           Interruption{"InterruptParallel", SIGINT, "4"},
                                           Interruption{"TerminateSequential", SIGTERM, "1"},
                                           Interruption{"TerminateParallel", SIGTERM, "4"},
                                           Interruption{"HangupSequential", SIGHUP, "1"},
                                           Interruption{"HangupParallel", SIGHUP, "4"}),
                         [](const ::testing::TestParamInfo<Interruption>& info) { return info.param.name; });

// How the write that tells the watcher to stop fares, through a preloaded library: interrupted
// by a signal handler this many times, then refused with this error number (0: it goes through).
struct StopWrite {
    std::string name;
    std::string interruptions;
    std::string error;
};

void PrintTo(const StopWrite& c, std::ostream* out) {
    *out << c.name;
}

class GenStop : public ::testing::TestWithParam<StopWrite> {
  protected:
    ScratchDir scratch_;
    const fs::path& dir_ = scratch_.path();
};

TEST_P(GenStop, CompletedRunEndsWhateverTheStopMeets) {
    const StopWrite& c = GetParam();
    const fs::path root = dir_ / "store";
    KroRun run;
    run.args = {"gen", "--directory", root.string(), "--max-files", "2", "--seed", "stop"};
    run.env = shim_env({{"KRO_FAILING_CALLS", "stop"}});
    run.env["KRO_STOP_INTERRUPTIONS"] = c.interruptions;
    run.env["KRO_STOP_ERROR"] = c.error;
    // Waiting for a watcher that was never told to stop would hang the process until this ends it.
    run.time_limit_seconds = 30;
    const KroResult result = run_kro(run);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    const KroResult verified = run_kro({"verify", "--directory", root.string()});
    EXPECT_EQ(verified.status, 0) << verified.err;
}

INSTANTIATE_TEST_SUITE_P(Writes, GenStop,
                         ::testing::Values(StopWrite{"Interrupted", "3", "0"}, StopWrite{"Refused", "0", "5"},
                                           StopWrite{"InterruptedThenRefused", "2", "22"}),
                         [](const ::testing::TestParamInfo<StopWrite>& info) { return info.param.name; });

}  // namespace
}  // namespace kro::test
