#include "base/page_buffer.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

namespace kro::base {
namespace {

struct Pages {
    void* block = nullptr;
    uint8_t* data = nullptr;
};

// A plain allocation padded by a page less one byte, started at its first page boundary. The
// aligned allocators ask malloc for more than they return, and what a freed large block teaches
// malloc's adaptive mapping threshold always stays below that request: every large aligned
// buffer would be a fresh mapping, faulted in page by page again, where a plain block of the
// same length comes back from the heap with its pages in place.
Pages allocate_pages(size_t length) {
    if (length == 0) return {};
    // No object may be larger than PTRDIFF_MAX; such a length never reaches the allocator.
    if (length > static_cast<size_t>(PTRDIFF_MAX) - PAGE_ALIGNMENT) throw std::bad_alloc();
    void* block = std::malloc(length + (PAGE_ALIGNMENT - 1));
    if (block == nullptr) throw std::bad_alloc();
    const auto address = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t aligned = (address + (PAGE_ALIGNMENT - 1)) & ~std::uintptr_t{PAGE_ALIGNMENT - 1};
    return {block, reinterpret_cast<uint8_t*>(aligned)};
}

}  // namespace

PageBuffer::PageBuffer(size_t length) : size_(length), capacity_(length) {
    const Pages pages = allocate_pages(length);
    block_ = pages.block;
    data_ = pages.data;
}

std::expected<PageBuffer, IoError> PageBuffer::allocate(size_t length) {
    try {
        return PageBuffer(length);
    } catch (const std::bad_alloc&) {
        return std::unexpected(IoError::out_of_memory());
    }
}

PageBuffer::PageBuffer(PageBuffer&& other) noexcept
    : block_(std::exchange(other.block_, nullptr)),
      data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

PageBuffer& PageBuffer::operator=(PageBuffer&& other) noexcept {
    if (this != &other) {
        std::free(block_);
        block_ = std::exchange(other.block_, nullptr);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

PageBuffer::~PageBuffer() {
    std::free(block_);
}

void PageBuffer::resize(size_t length) {
    if (length > capacity_) {
        const Pages grown = allocate_pages(length);
        if (size_ > 0) std::memcpy(grown.data, data_, size_);
        std::free(block_);
        block_ = grown.block;
        data_ = grown.data;
        capacity_ = length;
    }
    size_ = length;
}

}  // namespace kro::base
