#include "kro_process.hpp"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace kro::test {
namespace {

// One parent-side reader: a pipe's read end or a terminal's master side.
struct Channel {
    int parent = -1;
    int child = -1;
};

Channel make_pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    return {fds[0], fds[1]};
}

Channel make_terminal() {
    int master = -1;
    int slave = -1;
    struct winsize size {};
    size.ws_col = 200;
    size.ws_row = 50;
    if (::openpty(&master, &slave, nullptr, nullptr, &size) != 0) throw std::runtime_error("openpty failed");
    // Keep the output byte for byte: no "\n" to "\r\n" translation.
    struct termios mode {};
    ::tcgetattr(slave, &mode);
    mode.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    ::tcsetattr(slave, TCSANOW, &mode);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    return {master, slave};
}

// Reads every channel until each reports end of data (a terminal master reports EIO once
// the child has closed the last slave descriptor).
void drain(std::vector<std::pair<int, std::string*>> readers) {
    while (!readers.empty()) {
        std::vector<pollfd> polls;
        for (const auto& [fd, sink] : readers) polls.push_back({fd, POLLIN, 0});
        if (::poll(polls.data(), polls.size(), -1) < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("poll failed");
        }
        for (std::size_t i = polls.size(); i-- > 0;) {
            if (polls[i].revents == 0) continue;
            char chunk[65536];
            const ssize_t n = ::read(readers[i].first, chunk, sizeof chunk);
            if (n > 0) {
                readers[i].second->append(chunk, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(readers[i].first);
                readers.erase(readers.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
    }
}

}  // namespace

KroResult run_kro(const KroRun& run) {
    const bool shared_terminal = run.stdout_tty && run.stderr_tty;
    Channel out = run.stdout_tty ? make_terminal() : make_pipe();
    Channel err = shared_terminal ? Channel{-1, out.child} : run.stderr_tty ? make_terminal() : make_pipe();
    if (run.stdout_closed) {
        ::close(out.parent);
        out.parent = -1;
    }

    std::vector<std::string> argv_text = {KRO_BINARY};
    argv_text.insert(argv_text.end(), run.args.begin(), run.args.end());
    std::vector<char*> argv;
    for (std::string& arg : argv_text) argv.push_back(arg.data());
    argv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        // Away from the test's own terminal, so that only the streams given count as terminals.
        ::setsid();
        ::dup2(out.child, STDOUT_FILENO);
        ::dup2(err.child, STDERR_FILENO);
        const int null_in = ::open("/dev/null", O_RDONLY);
        ::dup2(null_in, STDIN_FILENO);
        for (const auto& [name, value] : run.env) {
            if (value) {
                ::setenv(name.c_str(), value->c_str(), 1);
            } else {
                ::unsetenv(name.c_str());
            }
        }
        if (!run.cwd.empty() && ::chdir(run.cwd.c_str()) != 0) ::_exit(126);
        if (run.remove_cwd && ::rmdir(run.cwd.c_str()) != 0) ::_exit(126);
        for (const auto& [resource, value] : {std::pair{RLIMIT_AS, run.address_space_limit},
                                              std::pair{RLIMIT_NOFILE, run.open_files_limit}}) {
            const rlimit limit{value.value_or(RLIM_INFINITY), value.value_or(RLIM_INFINITY)};
            if (value && ::setrlimit(resource, &limit) != 0) ::_exit(126);
        }
        if (run.run_as &&
            (::setgroups(0, nullptr) != 0 || ::setgid(*run.run_as) != 0 || ::setuid(*run.run_as) != 0))
            ::_exit(126);
        ::alarm(run.time_limit_seconds);  // survives exec
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out.child);
    if (!shared_terminal) ::close(err.child);

    KroResult result;
    std::vector<std::pair<int, std::string*>> readers;
    if (out.parent >= 0) readers.emplace_back(out.parent, &result.out);
    if (err.parent >= 0) readers.emplace_back(err.parent, &result.err);
    std::thread watcher;
    if (run.while_running) watcher = std::thread(run.while_running, pid);
    drain(std::move(readers));
    if (watcher.joinable()) watcher.join();

    int wait_status = 0;
    while (::waitpid(pid, &wait_status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    return result;
}

bool address_space_limits_work() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return false;
#else
    return true;
#endif
}

KroResult run_kro(std::vector<std::string> args) {
    KroRun run;
    run.args = std::move(args);
    run.env = {{"TERM", std::nullopt}, {"NO_COLOR", std::nullopt}};
    return run_kro(run);
}

std::map<std::string, std::optional<std::string>> shim_env(
    const std::map<std::string, std::string>& settings) {
    // A sanitizer runtime insists on being loaded first; here the preloaded library is.
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::string asan_options = "verify_asan_link_order=0";
    if (asan != nullptr && *asan != '\0') asan_options = std::string(asan) + ":" + asan_options;
    std::map<std::string, std::optional<std::string>> env = {{"TERM", std::nullopt},
                                                             {"NO_COLOR", std::nullopt},
                                                             {"LD_PRELOAD", KRO_PRELOAD_SHIM},
                                                             {"ASAN_OPTIONS", asan_options}};
    for (const auto& [name, value] : settings) env[name] = value;
    return env;
}

std::string substitute(std::string text, const std::map<std::string, std::string>& values) {
    for (const auto& [name, value] : values) {
        const std::string marker = "{" + name + "}";
        for (size_t at = text.find(marker); at != std::string::npos;
             at = text.find(marker, at + value.size()))
            text.replace(at, marker.size(), value);
    }
    return text;
}

}  // namespace kro::test
