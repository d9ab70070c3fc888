#pragma once
// A bounded pool of byte buffers shared by the threads of one parallel stage; it bounds the
// stage's memory in flight. The owner fills it once; afterwards no buffer is made or freed
// until the pool goes. `take` waits while the pool is empty and gives up once the pool is
// cancelled; a lent `PooledBuffer` goes back when dropped. Buffers are reused last in, first
// out, and keep their length and bytes while they travel (the taker resizes them and
// overwrites what it uses: new bytes are left uninitialised, so that a buffer nobody needs is
// never even touched). All methods are thread-safe; the pool must outlive every buffer lent
// from it.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace kro::store {

// Makes growing a byte vector leave the new bytes uninitialised instead of zeroing them.
template <typename T>
struct UninitializedAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    UninitializedAllocator() = default;
    template <typename U>
    explicit UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
    template <typename U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

using ByteBuffer = std::vector<uint8_t, UninitializedAllocator<uint8_t>>;

class BufferPool;

// A buffer lent from a pool. Move-only; dropping it puts the buffer back into the pool.
class PooledBuffer {
  public:
    PooledBuffer(PooledBuffer&& other) noexcept;
    PooledBuffer& operator=(PooledBuffer&& other) noexcept;
    PooledBuffer(const PooledBuffer&) = delete;
    PooledBuffer& operator=(const PooledBuffer&) = delete;
    ~PooledBuffer();

    ByteBuffer& buf() { return buf_; }
    const ByteBuffer& buf() const { return buf_; }

  private:
    friend class BufferPool;
    PooledBuffer(ByteBuffer buf, BufferPool& pool) : buf_(std::move(buf)), pool_(&pool) {}
    void give_back();

    ByteBuffer buf_;
    BufferPool* pool_;
};

class BufferPool {
  public:
    // A pool holding `count` buffers of `length` bytes each, contents unspecified.
    BufferPool(size_t count, size_t length);
    // A pool holding these buffers as they are.
    explicit BufferPool(std::vector<ByteBuffer> buffers);
    BufferPool(const BufferPool&) = delete;
    BufferPool& operator=(const BufferPool&) = delete;

    // The most recently returned free buffer, waiting while none is free; nothing once the pool
    // is cancelled, even when buffers are free.
    std::optional<PooledBuffer> take();
    // Returns a buffer to the free list (also after cancellation, so that it is freed with the
    // pool) and wakes one waiter.
    void put(ByteBuffer buffer);
    // Makes every current and later `take` return nothing. Never undone.
    void cancel();

    bool cancelled() const;
    size_t free_count() const;
    // Takes every free buffer out, so that a later stage can reuse it. Call it once nothing is
    // lent any more.
    std::vector<ByteBuffer> release_buffers();

  private:
    mutable std::mutex mutex_;
    std::condition_variable available_;
    std::vector<ByteBuffer> buffers_;
    bool cancelled_ = false;
};

}  // namespace kro::store
