#pragma once
// The one way the plumbing of a parallel stage waits: on a plain condition variable, until what it
// waits for is ready or the stage's stop token fires. A wait that is not needed costs one look at
// the predicate and nothing of the token; only a thread that must sleep registers a wake-up with
// the token, which takes the lock before it notifies, so that no stop is missed.

#include <condition_variable>
#include <mutex>
#include <stop_token>

namespace kro::base {

// With `lock` held: returns true, still holding it, once `ready()` holds; false once `stop` has
// fired, even when `ready()` holds too.
template <typename Ready>
bool wait_unless_stopped(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                         const std::stop_token& stop, Ready ready) {
    while (!stop.stop_requested()) {
        if (ready()) return true;
        std::mutex& mutex = *lock.mutex();
        lock.unlock();
        {
            const std::stop_callback wake(stop, [&] {
                { const std::lock_guard taken(mutex); }
                cv.notify_all();
            });
            std::unique_lock waiting(mutex);
            cv.wait(waiting, [&] { return stop.stop_requested() || ready(); });
        }  // the lock goes before the wake-up, whose end waits for a call that takes the lock
        lock.lock();
    }
    return false;
}

}  // namespace kro::base
