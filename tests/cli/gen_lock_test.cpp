// `gen` into a store whose chain-tip records another run holds: the run waits for them and then
// records its tip, and a signal during the wait ends it as it ends a run at any other point.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "content_fixture.hpp"
#include "kro_process.hpp"
#include "support/proc_locks.hpp"

namespace kro::test {
namespace {

namespace fs = std::filesystem;

// The exclusive lock on <store>/.metadata/roots, held as a run holds it between its marker and
// its aggregate.
class HeldRecords {
  public:
    explicit HeldRecords(const fs::path& store)
        : fd_(::open((store / ".metadata" / "roots").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (fd_ < 0 || ::flock(fd_, LOCK_EX) != 0) throw std::runtime_error("locking the records failed");
    }
    HeldRecords(const HeldRecords&) = delete;
    HeldRecords& operator=(const HeldRecords&) = delete;
    ~HeldRecords() { release(); }
    void release() {
        if (fd_ >= 0) ::close(std::exchange(fd_, -1));
    }

  private:
    int fd_;
};

// True when /proc/locks lists process `pid` as waiting for a lock.
bool waits_for_a_lock(pid_t pid) {
    for (const auto& waiter : testing::lock_waiters()) {
        if (waiter.pid == pid) return true;
    }
    return false;
}

// True once the child `pid` has ended (it stays a zombie until it is waited for).
bool has_ended(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t name_end = text.rfind(')');
    return name_end == std::string::npos || text.compare(name_end, 3, ") Z") == 0;
}

// Waits until process `pid` waits for a lock: true, or false once it has ended or after 60 s.
bool until_it_waits(pid_t pid) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!waits_for_a_lock(pid)) {
        if (has_ended(pid) || std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::set<std::string> markers(const fs::path& store) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(store / ".metadata" / "roots"))
        names.insert(e.path().filename());
    return names;
}

class GenLock : public ::testing::Test {
  protected:
    void SetUp() override { kro_gen_store(store_, 1, "4KB", "first"); }

    KroRun second_run() const {
        KroRun run;
        run.args = {"gen", "--directory", store_.string(), "--max-files", "1", "--seed", "second"};
        run.env = {{"TERM", std::nullopt}, {"NO_COLOR", std::nullopt}};
        run.time_limit_seconds = 60;
        return run;
    }

    ScratchDir scratch_;
    const fs::path store_ = scratch_.path() / "store";
};

TEST_F(GenLock, RunWaitsForTheHolderThenRecordsItsTip) {
    const std::set<std::string> before = markers(store_);
    HeldRecords held(store_);
    KroRun run = second_run();
    bool waited = false;
    bool still_waiting = false;
    run.while_running = [&](pid_t pid) {
        waited = until_it_waits(pid);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        still_waiting = waits_for_a_lock(pid);
        held.release();
    };
    const KroResult result = run_kro(run);
    EXPECT_TRUE(waited);
    EXPECT_TRUE(still_waiting);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(markers(store_).size(), before.size() + 1);
    const KroResult verified = run_kro({"verify", "--directory", store_.string()});
    EXPECT_EQ(verified.status, 0) << verified.err;
}

TEST_F(GenLock, SignalWhileWaitingEndsTheRunBySameSignal) {
    const std::set<std::string> before = markers(store_);
    const std::vector<uint8_t> aggregate = read_file(store_ / ".metadata" / "all");
    const HeldRecords held(store_);
    KroRun run = second_run();
    bool waited = false;
    run.while_running = [&](pid_t pid) {
        waited = until_it_waits(pid);
        ::kill(pid, SIGINT);
    };
    const KroResult result = run_kro(run);
    EXPECT_TRUE(waited);
    EXPECT_EQ(result.status, 128 + SIGINT) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(temporary_files(store_), std::vector<std::string>{});
    // No chain tip for the interrupted run: its placed file stays an orphan.
    EXPECT_EQ(markers(store_), before);
    EXPECT_EQ(read_file(store_ / ".metadata" / "all"), aggregate);
}

}  // namespace
}  // namespace kro::test
