#pragma once
// A byte buffer whose first byte sits on a page boundary. The kernel copies page-cache bytes
// into (and out of) such a buffer several times faster than into one that malloc places a few
// bytes past a boundary, so every buffer that read, pread, write or pwrite touches is one of
// these. New bytes are left uninitialised: a buffer is always overwritten before it is used.
// Move-only; a plain value with no sharing.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "base/errors/io_error.hpp"

namespace kro::base {

inline constexpr size_t PAGE_ALIGNMENT = 4096;

class PageBuffer {
  public:
    PageBuffer() = default;
    // `length` bytes; throws std::bad_alloc when memory runs out, as the standard containers do.
    explicit PageBuffer(size_t length);
    // The same as a value: an I/O error of kind OutOfMemory ("out of memory") when memory runs out.
    static std::expected<PageBuffer, IoError> allocate(size_t length);

    PageBuffer(PageBuffer&& other) noexcept;
    PageBuffer& operator=(PageBuffer&& other) noexcept;
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;
    ~PageBuffer();

    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    uint8_t* begin() { return data_; }
    uint8_t* end() { return data_ + size_; }
    const uint8_t* begin() const { return data_; }
    const uint8_t* end() const { return data_ + size_; }
    uint8_t& operator[](size_t i) { return data_[i]; }
    const uint8_t& operator[](size_t i) const { return data_[i]; }

    std::span<uint8_t> span() { return {data_, size_}; }
    std::span<const uint8_t> span() const { return {data_, size_}; }
    operator std::span<uint8_t>() { return span(); }
    operator std::span<const uint8_t>() const { return span(); }

    // Sets the length. Within the capacity nothing moves; beyond it the buffer is reallocated
    // and the first size() bytes are kept. Throws std::bad_alloc when memory runs out.
    void resize(size_t length);

  private:
    void* block_ = nullptr;  // what the allocator returned; data_ is its first page boundary
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

}  // namespace kro::base
