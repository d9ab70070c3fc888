#pragma once
// The one way a parallel stage runs and stops. A stage starts up to N workers on threads of its
// own and does its share on the calling thread; when no thread starts, the calling thread does the
// whole stage. The first failure cancels the stage: its stop token fires, and every wait of the
// stage's plumbing that was given the token (for a pooled buffer, an index of a dispenser, memory)
// gives up. Items already under way finish, so the error of the lowest failing index is the one
// handed back, whatever the number of workers. A fault (an exception escaping a worker or the
// calling thread's share) cancels the stage too, and leaves `run` once every worker has ended.
//
// The layer that starts a stage names it; the hooks know the stage by that name, may refuse its
// thread starts and may fail or fault any of its items (`before_item`, asked by the worker about
// to work on one). Workers record errors on the stage (`fail`); values travel through channels. A channel
// handle that the worker or the calling thread's share holds closes before the join (each is dropped as soon
// as its part is done), so that nobody waits on a channel whose other end has gone.
//
// Owned by the calling thread; `fail`, `cancel` and the looks at the error are thread-safe.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <stop_token>
#include <system_error>
#include <utility>

#include "base/hooks.hpp"
#include "base/parallel/lowest_error.hpp"
#include "base/parallel/thread_scope.hpp"

namespace kro::base {

template <typename E>
class ParallelStage {
  public:
    // A stage named `name` for `hooks` (none: null).
    ParallelStage(const Hooks* hooks, StageName name) : hooks_(hooks), name_(name), scope_(hooks, name) {}
    ParallelStage(const ParallelStage&) = delete;
    ParallelStage& operator=(const ParallelStage&) = delete;

    // Starts `worker(k)` on a new thread for k = 0, 1, ... below `count`, until a thread cannot
    // start; each thread runs its own copy, and the original is dropped once the threads are
    // started. Then runs `on_caller(started)` on the calling thread and drops it, joins every
    // worker, and rethrows the first fault: the calling thread's, else the first of a worker.
    template <typename Worker, typename OnCaller>
    void run(size_t count, Worker worker, OnCaller on_caller) {
        size_t started = 0;
        {
            const Worker original = std::move(worker);
            while (started < count && scope_.spawn([this, copy = original, k = started]() mutable {
                try {
                    copy(k);
                } catch (...) {
                    cancel();
                    throw;
                }
            })) {
                ++started;
            }
        }
        std::exception_ptr fault;
        {
            OnCaller share = std::move(on_caller);
            try {
                share(started);
            } catch (...) {
                cancel();
                fault = std::current_exception();
            }
        }
        scope_.join_and_rethrow_after(fault);
    }

    // What the hooks make of item `index` before a worker works on it: nothing, an error the item
    // then fails with, or a fault thrown here.
    std::optional<IoError> before_item(uint64_t index) const {
        return base::before_item(hooks_, name_, index);
    }
    // The run's hooks, for the system calls of the stage's items.
    const Hooks* hooks() const { return hooks_; }

    // Records the error of item `index` (kept when it is the lowest so far) and cancels the stage.
    void fail(uint64_t index, E error) {
        errors_.record(index, std::move(error));
        cancel();
    }
    // Makes every wait given the stop token give up, for good.
    void cancel() { stop_.request_stop(); }
    // The stage's one token, lent by reference: a copy would touch the shared stop state on every
    // claim of every worker.
    const std::stop_token& stop_token() const { return token_; }
    bool cancelled() const { return stop_.stop_requested(); }

    // True when an item at or below `index` has failed; lock-free.
    bool fails_at_or_below(uint64_t index) const { return errors_.fails_at_or_below(index); }
    // The index of the kept error, if any.
    std::optional<uint64_t> error_index() const { return errors_.index(); }
    // The error of the lowest failing item, moved out. Call after `run`.
    std::optional<E> take_error() { return errors_.take(); }
    // Why the last thread that could not start failed; empty when every start succeeded.
    std::error_code spawn_error() const { return scope_.spawn_error(); }

  private:
    const Hooks* const hooks_;
    const StageName name_;
    std::stop_source stop_;
    const std::stop_token token_ = stop_.get_token();
    LowestError<E> errors_;
    // Last: it joins in its destructor, before the stop source and the error go.
    ThreadScope scope_;
};

}  // namespace kro::base
