#include "base/thread_scope.hpp"

#include <new>
#include <system_error>

namespace kro::base {

bool ThreadScope::spawn(std::function<void()> body) {
    const size_t index = attempts_++;
    if (fail_spawn_ && fail_spawn_(index)) {
        spawn_error_ = std::make_error_code(std::errc::resource_unavailable_try_again);
        return false;
    }
    try {
        threads_.emplace_back([this, body = std::move(body)] {
            try {
                body();
            } catch (...) {
                std::lock_guard lock(mutex_);
                if (!first_) first_ = std::current_exception();
            }
        });
    } catch (const std::system_error& e) {
        spawn_error_ = e.code();
        return false;
    } catch (const std::bad_alloc&) {
        // No memory for the thread's state: it did not start either.
        spawn_error_ = std::make_error_code(std::errc::not_enough_memory);
        return false;
    }
    return true;
}

void ThreadScope::join_all() {
    for (auto& t : threads_) {
        if (t.joinable()) t.join();
    }
}

std::exception_ptr ThreadScope::first_exception() const {
    std::lock_guard lock(mutex_);
    return first_;
}

void ThreadScope::join_and_rethrow() {
    join_all();
    if (auto e = first_exception()) std::rethrow_exception(e);
}

}  // namespace kro::base
