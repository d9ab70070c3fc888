#pragma once
// Scoped threads: every thread spawned through a ThreadScope is joined before the scope ends
// (at the latest in its destructor). A thread that cannot be started is reported to the caller
// (spawn returns false, also when memory for it runs out) instead of crashing. An exception escaping a thread
// body (a Panic, say) is caught at the thread boundary; the first one is kept and can be rethrown by the
// owner after every thread has been joined. Owned and used by one thread; the bodies run concurrently.

#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "base/hooks.hpp"

namespace kro::base {

class ThreadScope {
  public:
    ThreadScope() = default;
    // A scope of the stage named `stage`, whose thread starts `hooks` may refuse.
    ThreadScope(const Hooks* hooks, StageName stage) : hooks_(hooks), stage_(stage) {}
    ThreadScope(const ThreadScope&) = delete;
    ThreadScope& operator=(const ThreadScope&) = delete;
    ~ThreadScope() { join_all(); }

    // Starts `body` on a new thread. False when the thread could not be started, for want of
    // memory included; `body` then never runs.
    template <typename Body>
    bool spawn(Body&& body) {
        std::function<void()> task;
        try {
            task = std::forward<Body>(body);
        } catch (const std::bad_alloc&) {
            return refuse(std::make_error_code(std::errc::not_enough_memory));
        }
        return start(std::move(task));
    }
    // Joins every thread started so far.
    void join_all();
    // Joins, then rethrows the first exception that escaped a thread body.
    void join_and_rethrow();
    // Joins, then rethrows `fault` when it is set, else the first exception that escaped a thread
    // body.
    void join_and_rethrow_after(std::exception_ptr fault);
    // Why the last refused spawn failed (the system's error; resource_unavailable_try_again for
    // one refused by the test seam); empty while every spawn succeeded.
    std::error_code spawn_error() const { return spawn_error_; }

  private:
    // After join_all: the first exception that escaped a thread body, if any.
    std::exception_ptr first_exception() const;
    bool start(std::function<void()> body);
    bool refuse(std::error_code why);

    const Hooks* hooks_ = nullptr;
    StageName stage_{};
    size_t attempts_ = 0;
    std::vector<std::thread> threads_;
    std::error_code spawn_error_;
    mutable std::mutex mutex_;
    std::exception_ptr first_;
};

}  // namespace kro::base
