#include "base/page_buffer.hpp"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace kro::base {
namespace {

uint8_t* allocate_pages(size_t length) {
    if (length == 0) return nullptr;
    void* p = nullptr;
    if (::posix_memalign(&p, PAGE_ALIGNMENT, length) != 0) throw std::bad_alloc();
    return static_cast<uint8_t*>(p);
}

}  // namespace

PageBuffer::PageBuffer(size_t length) : data_(allocate_pages(length)), size_(length), capacity_(length) {}

std::expected<PageBuffer, IoError> PageBuffer::allocate(size_t length) {
    try {
        return PageBuffer(length);
    } catch (const std::bad_alloc&) {
        return std::unexpected(IoError::with_message(IoErrorKind::OutOfMemory, "out of memory"));
    }
}

PageBuffer::PageBuffer(PageBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

PageBuffer& PageBuffer::operator=(PageBuffer&& other) noexcept {
    if (this != &other) {
        std::free(data_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

PageBuffer::~PageBuffer() {
    std::free(data_);
}

void PageBuffer::resize(size_t length) {
    if (length > capacity_) {
        uint8_t* grown = allocate_pages(length);
        if (size_ > 0) std::memcpy(grown, data_, size_);
        std::free(data_);
        data_ = grown;
        capacity_ = length;
    }
    size_ = length;
}

}  // namespace kro::base
