#pragma once
// A bounded pool of byte buffers shared by the threads of one parallel stage; it bounds the
// stage's memory in flight. The owner fills it once; afterwards no buffer is made or freed
// until the pool goes. `take` waits while the pool is empty and gives up once the stage's stop
// token fires; a lent `PooledBuffer` goes back when dropped. Buffers are reused last in, first
// out, and keep their length and bytes while they travel (the taker resizes them and
// overwrites what it uses: new bytes are left uninitialised, so that a buffer nobody needs is
// never even touched). The buffers are page-aligned because the kernel copies blocks into and
// out of them. All methods are thread-safe; the pool must outlive every buffer lent from it.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stop_token>
#include <utility>
#include <vector>

#include "base/page_buffer.hpp"

namespace kro::base {

class BufferPool;

// A buffer lent from a pool. Move-only; dropping it puts the buffer back into the pool.
class PooledBuffer {
  public:
    PooledBuffer(PooledBuffer&& other) noexcept;
    PooledBuffer& operator=(PooledBuffer&& other) noexcept;
    PooledBuffer(const PooledBuffer&) = delete;
    PooledBuffer& operator=(const PooledBuffer&) = delete;
    ~PooledBuffer();

    base::PageBuffer& buf() { return buf_; }
    const base::PageBuffer& buf() const { return buf_; }

  private:
    friend class BufferPool;
    PooledBuffer(base::PageBuffer buf, BufferPool& pool) : buf_(std::move(buf)), pool_(&pool) {}
    void give_back();

    base::PageBuffer buf_;
    BufferPool* pool_;
};

class BufferPool {
  public:
    // A pool holding `count` buffers of `length` bytes each, contents unspecified.
    BufferPool(size_t count, size_t length);
    // A pool holding these buffers as they are.
    explicit BufferPool(std::vector<base::PageBuffer> buffers);
    BufferPool(const BufferPool&) = delete;
    BufferPool& operator=(const BufferPool&) = delete;

    // The most recently returned free buffer, waiting while none is free; nothing once `stop`
    // has fired, even when buffers are free.
    std::optional<PooledBuffer> take(const std::stop_token& stop = {});
    // Returns a buffer to the free list (also after a stop, so that it is freed with the pool)
    // and wakes one waiter.
    void put(base::PageBuffer buffer);
    size_t free_count() const;
    // Takes every free buffer out, so that a later stage can reuse it. Call it once nothing is
    // lent any more.
    std::vector<base::PageBuffer> release_buffers();

  private:
    mutable std::mutex mutex_;
    std::condition_variable available_;
    std::vector<base::PageBuffer> buffers_;
};

}  // namespace kro::base
