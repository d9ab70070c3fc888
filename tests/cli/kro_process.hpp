#pragma once
// Runs the built kro binary as a child process and collects what it printed. Each standard
// stream is a pipe, or the slave side of a pseudo-terminal when the case needs a terminal.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kro::test {

struct KroRun {
    std::vector<std::string> args;
    // Variables set (a value) or removed (no value) on top of the test's environment.
    std::map<std::string, std::optional<std::string>> env;
    bool stdout_tty = false;
    bool stderr_tty = false;
    // Standard output is the write end of a pipe whose read end is already closed.
    bool stdout_closed = false;
    std::string cwd;
    // The child removes its working directory before it starts kro, so that it cannot be resolved.
    bool remove_cwd = false;
    // A kro that hangs is killed by SIGALRM after this many seconds (status 142), so that a
    // blocking regression fails its test instead of stalling the suite.
    unsigned time_limit_seconds = 120;
    // The child's address space is limited to this many bytes (RLIMIT_AS), so that an allocation
    // beyond it fails. Sanitizer builds reserve terabytes of address space
    // and cannot run under a limit.
    std::optional<uint64_t> address_space_limit;
    // The child may hold at most this many descriptors open (RLIMIT_NOFILE).
    std::optional<uint64_t> open_files_limit;
    // The child runs kro as this user and group id (a test that runs as root and needs a user
    // whose rights the file modes bind).
    std::optional<uint32_t> run_as;
    // Runs on a thread of its own while the child is alive (its output is read meanwhile), with
    // the child's process id: to watch what it does, or to send it a signal.
    std::function<void(pid_t)> while_running;
};

// False where a child cannot run under an address space limit (sanitizer builds).
bool address_space_limits_work();

struct KroResult {
    std::string out;
    std::string err;
    // When both streams share one terminal, everything arrives in `out`.
    int status = -1;
};

KroResult run_kro(const KroRun& run);

// Convenience: plain pipes, TERM and NO_COLOR removed so that the output is predictable.
KroResult run_kro(std::vector<std::string> args);

// The plain environment of the convenience run (TERM and NO_COLOR removed) with the test shim
// (tests/cli/preload_shim.c) preloaded into kro, and `settings` for the shim on top.
std::map<std::string, std::optional<std::string>> shim_env(
    const std::map<std::string, std::string>& settings);

// `text` with every "{name}" of a name in `values` replaced by its value.
std::string substitute(std::string text, const std::map<std::string, std::string>& values);

}  // namespace kro::test
