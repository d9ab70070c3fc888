#pragma once
// A multi-producer, multi-consumer channel, bounded or unbounded: the one queue every parallel
// stage uses. `Sender` and `Receiver` are cheap shared handles. The channel closes for
// receivers when the last `Sender` is gone (after the queued items are drained) and for
// senders when the last `Receiver` is gone. All operations are thread-safe.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace kro::base {

template <typename T>
class Sender;
template <typename T>
class Receiver;

namespace detail {

template <typename T>
struct ChannelState {
    std::mutex mutex;
    std::condition_variable not_empty;
    std::condition_variable not_full;
    std::deque<T> items;
    size_t capacity = 0;  // 0: unbounded
    size_t senders = 0;
    size_t receivers = 0;
};

}  // namespace detail

template <typename T>
class Sender {
  public:
    Sender(const Sender& other) : state_(other.state_) { attach(); }
    Sender(Sender&& other) noexcept = default;
    Sender& operator=(Sender other) noexcept {
        std::swap(state_, other.state_);
        return *this;
    }
    ~Sender() { close(); }

    // Queues `value`, waiting while a bounded channel is full. Returns false (and drops the
    // value) once every receiver is gone.
    bool send(T value) {
        if (!state_) return false;
        std::unique_lock lock(state_->mutex);
        state_->not_full.wait(lock, [&] {
            return state_->receivers == 0 || state_->capacity == 0 || state_->items.size() < state_->capacity;
        });
        if (state_->receivers == 0) return false;
        state_->items.push_back(std::move(value));
        lock.unlock();
        state_->not_empty.notify_one();
        return true;
    }

    // Gives up this handle early; the channel closes when no sender is left.
    void close() {
        if (!state_) return;
        bool last;
        {
            std::lock_guard lock(state_->mutex);
            last = --state_->senders == 0;
        }
        if (last) state_->not_empty.notify_all();
        state_.reset();
    }

  private:
    template <typename U>
    friend std::pair<Sender<U>, Receiver<U>> make_channel(size_t);
    explicit Sender(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) { attach(); }
    void attach() {
        if (!state_) return;
        std::lock_guard lock(state_->mutex);
        ++state_->senders;
    }
    std::shared_ptr<detail::ChannelState<T>> state_;
};

template <typename T>
class Receiver {
  public:
    Receiver(const Receiver& other) : state_(other.state_) { attach(); }
    Receiver(Receiver&& other) noexcept = default;
    Receiver& operator=(Receiver other) noexcept {
        std::swap(state_, other.state_);
        return *this;
    }
    ~Receiver() { close(); }

    // The next item, waiting while the channel is empty; nullopt once it is empty and closed.
    std::optional<T> recv() {
        if (!state_) return std::nullopt;
        std::unique_lock lock(state_->mutex);
        state_->not_empty.wait(lock, [&] { return !state_->items.empty() || state_->senders == 0; });
        if (state_->items.empty()) return std::nullopt;
        return pop_front(lock);
    }

    // The next item if one is queued now, without waiting; nullopt otherwise (empty or closed).
    std::optional<T> try_recv() {
        if (!state_) return std::nullopt;
        std::unique_lock lock(state_->mutex);
        if (state_->items.empty()) return std::nullopt;
        return pop_front(lock);
    }

    // Gives up this handle early; senders fail once no receiver is left.
    void close() {
        if (!state_) return;
        bool last;
        {
            std::lock_guard lock(state_->mutex);
            last = --state_->receivers == 0;
            if (last) state_->items.clear();
        }
        if (last) state_->not_full.notify_all();
        state_.reset();
    }

  private:
    template <typename U>
    friend std::pair<Sender<U>, Receiver<U>> make_channel(size_t);
    explicit Receiver(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) { attach(); }
    // Takes the front item of a non-empty queue under `lock`, then unlocks and wakes a sender.
    T pop_front(std::unique_lock<std::mutex>& lock) {
        T value = std::move(state_->items.front());
        state_->items.pop_front();
        lock.unlock();
        state_->not_full.notify_one();
        return value;
    }
    void attach() {
        if (!state_) return;
        std::lock_guard lock(state_->mutex);
        ++state_->receivers;
    }
    std::shared_ptr<detail::ChannelState<T>> state_;
};

// capacity 0 makes an unbounded channel.
template <typename T>
std::pair<Sender<T>, Receiver<T>> make_channel(size_t capacity) {
    auto state = std::make_shared<detail::ChannelState<T>>();
    state->capacity = capacity;
    return {Sender<T>(state), Receiver<T>(state)};
}

template <typename T>
std::pair<Sender<T>, Receiver<T>> bounded_channel(size_t capacity) {
    return make_channel<T>(capacity == 0 ? 1 : capacity);
}

template <typename T>
std::pair<Sender<T>, Receiver<T>> unbounded_channel() {
    return make_channel<T>(0);
}

}  // namespace kro::base
