#include "base/parallel/thread_scope.hpp"

#include <new>
#include <system_error>

namespace kro::base {

bool ThreadScope::refuse(std::error_code why) {
    spawn_error_ = why;
    return false;
}

bool ThreadScope::start(std::function<void()> body) {
    const size_t index = attempts_++;
    if (refuse_spawn(hooks_, stage_, index)) {
        return refuse(std::make_error_code(std::errc::resource_unavailable_try_again));
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
        return refuse(e.code());
    } catch (const std::bad_alloc&) {
        return refuse(std::make_error_code(std::errc::not_enough_memory));
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
    join_and_rethrow_after(nullptr);
}

void ThreadScope::join_and_rethrow_after(std::exception_ptr fault) {
    join_all();
    if (fault) std::rethrow_exception(fault);
    if (auto e = first_exception()) std::rethrow_exception(e);
}

}  // namespace kro::base
