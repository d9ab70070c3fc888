#include "cli/signal_cleanup.hpp"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <exception>

namespace kro::cli {
namespace {

constexpr std::array ENDING_SIGNALS = {SIGINT, SIGTERM, SIGHUP};

// A signal that is ignored (nohup, a background job) or blocked by whoever started kro keeps
// that meaning.
bool left_to_default(int sig, const sigset_t& blocked) {
    struct sigaction current {};
    if (::sigaction(sig, nullptr, &current) != 0) return false;
    return current.sa_handler != SIG_IGN && sigismember(&blocked, sig) == 0;
}

// Ends the process by `sig` as if it had never been held back.
[[noreturn]] void end_by(int sig) {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(sig, &fallback, nullptr);
    ::raise(sig);  // pending on this thread until it is unblocked here
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    ::_exit(128 + sig);  // not reached: the default action of every watched signal ends the process
}

void watch(int signals, int stop, base::TempFileRegistry& registry) {
    while (true) {
        std::array<pollfd, 2> ready = {pollfd{signals, POLLIN, 0}, pollfd{stop, POLLIN, 0}};
        if (::poll(ready.data(), ready.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return;  // the signals stay held back and take their course when the owner lets them go
        }
        // A signal first: one that arrives together with the stop still ends the process.
        signalfd_siginfo info{};
        if ((ready[0].revents & POLLIN) != 0 && ::read(signals, &info, sizeof info) == sizeof info) {
            const auto sealed = registry.remove_all();
            end_by(static_cast<int>(info.ssi_signo));
        }
        if (ready[1].revents != 0) return;
    }
}

// Tells the watcher to stop: false when the eventfd refuses the write for any reason other than
// a signal handler interrupting it.
bool tell_to_stop(int stop) {
    const uint64_t one = 1;
    while (true) {
        const ssize_t written = ::write(stop, &one, sizeof one);
        if (written == sizeof one) return true;
        if (written < 0 && errno == EINTR) continue;
        return false;
    }
}

}  // namespace

SignalCleanup::SignalCleanup(std::shared_ptr<base::TempFileRegistry> registry)
    : registry_(std::move(registry)) {
    sigset_t blocked;
    ::pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
    sigset_t watched;
    sigemptyset(&watched);
    bool any = false;
    for (const int sig : ENDING_SIGNALS) {
        if (!left_to_default(sig, blocked)) continue;
        sigaddset(&watched, sig);
        any = true;
    }
    if (!any) return;
    ::pthread_sigmask(SIG_BLOCK, &watched, &previous_);
    signals_ = base::UniqueFd(::signalfd(-1, &watched, SFD_CLOEXEC));
    stop_ = base::UniqueFd(::eventfd(0, EFD_CLOEXEC));
    if (signals_.valid() && stop_.valid()) {
        try {
            // The watcher holds its own reference to the registry: it may outlive this object.
            watcher_ = std::thread([signals = signals_.get(), stop = stop_.get(), registry = registry_] {
                watch(signals, stop, *registry);
            });
            return;
        } catch (const std::exception&) {
        }
    }
    // No watcher: a signal ends the run as it always did, leaving its temporary file behind.
    ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

SignalCleanup::~SignalCleanup() {
    if (!watcher_.joinable()) return;
    if (tell_to_stop(stop_.get())) {
        watcher_.join();
    } else {
        // Joining a watcher that never hears of the stop would wait for ever. It is left to end
        // with the process, its descriptors open; the run is over and nothing is on record.
        static_cast<void>(signals_.release());
        static_cast<void>(stop_.release());
        watcher_.detach();
    }
    ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

}  // namespace kro::cli
