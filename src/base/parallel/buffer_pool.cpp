#include "base/parallel/buffer_pool.hpp"

#include <utility>

#include "base/parallel/stoppable_wait.hpp"

namespace kro::base {

PooledBuffer::PooledBuffer(PooledBuffer&& other) noexcept
    : buf_(std::move(other.buf_)), pool_(std::exchange(other.pool_, nullptr)) {}

PooledBuffer& PooledBuffer::operator=(PooledBuffer&& other) noexcept {
    if (this != &other) {
        give_back();
        buf_ = std::move(other.buf_);
        pool_ = std::exchange(other.pool_, nullptr);
    }
    return *this;
}

PooledBuffer::~PooledBuffer() {
    give_back();
}

void PooledBuffer::give_back() {
    if (pool_ == nullptr) return;
    std::exchange(pool_, nullptr)->put(std::exchange(buf_, base::PageBuffer{}));
}

BufferPool::BufferPool(size_t count, size_t length) {
    buffers_.reserve(count);
    for (size_t i = 0; i < count; ++i) buffers_.emplace_back(length);
}

BufferPool::BufferPool(std::vector<base::PageBuffer> buffers) : buffers_(std::move(buffers)) {}

std::optional<PooledBuffer> BufferPool::take(const std::stop_token& stop) {
    std::unique_lock lock(mutex_);
    if (!wait_unless_stopped(available_, lock, stop, [&] { return !buffers_.empty(); })) return std::nullopt;
    base::PageBuffer buffer = std::move(buffers_.back());
    buffers_.pop_back();
    return PooledBuffer(std::move(buffer), *this);
}

void BufferPool::put(base::PageBuffer buffer) {
    {
        const std::lock_guard lock(mutex_);
        buffers_.push_back(std::move(buffer));
    }
    available_.notify_one();
}

size_t BufferPool::free_count() const {
    const std::lock_guard lock(mutex_);
    return buffers_.size();
}

std::vector<base::PageBuffer> BufferPool::release_buffers() {
    const std::lock_guard lock(mutex_);
    return std::exchange(buffers_, {});
}

}  // namespace kro::base
