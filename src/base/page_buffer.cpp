#include "base/page_buffer.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

namespace kro::base {
namespace {

// Room before the first byte for the start of the block that malloc gave.
constexpr size_t SLACK = PAGE_ALIGNMENT + sizeof(void*);

// A plain malloc of the length and some slack, started on the first page boundary inside it, not
// posix_memalign: glibc serves a large aligned request with the slack added, so a buffer freed and
// asked for again never fits under the threshold up to which it keeps freed memory for reuse, and
// every such buffer would be fresh pages from the kernel (each page a fault on first touch).
uint8_t* allocate_pages(size_t length) {
    if (length == 0) return nullptr;
    if (length > std::numeric_limits<size_t>::max() - SLACK) throw std::bad_alloc();
    void* block = std::malloc(length + SLACK);
    if (block == nullptr) throw std::bad_alloc();
    const auto after_link = reinterpret_cast<std::uintptr_t>(block) + sizeof(void*);
    auto* data =
        reinterpret_cast<uint8_t*>((after_link + PAGE_ALIGNMENT - 1) / PAGE_ALIGNMENT * PAGE_ALIGNMENT);
    std::memcpy(data - sizeof(void*), &block, sizeof(void*));
    return data;
}

void free_pages(uint8_t* data) {
    if (data == nullptr) return;
    void* block = nullptr;
    std::memcpy(&block, data - sizeof(void*), sizeof(void*));
    std::free(block);
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
        free_pages(data_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

PageBuffer::~PageBuffer() {
    free_pages(data_);
}

void PageBuffer::resize(size_t length) {
    if (length > capacity_) {
        uint8_t* grown = allocate_pages(length);
        if (size_ > 0) std::memcpy(grown, data_, size_);
        free_pages(data_);
        data_ = grown;
        capacity_ = length;
    }
    size_ = length;
}

}  // namespace kro::base
