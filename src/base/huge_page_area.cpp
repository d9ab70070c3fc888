#include "base/huge_page_area.hpp"

#include <sys/mman.h>

#include <fstream>
#include <string>

namespace kro::base {

std::expected<HugePageArea, IoError> HugePageArea::allocate(size_t length) {
    if (length == 0) return HugePageArea();
    if (length > SIZE_MAX - 2 * HUGE_PAGE_SIZE) return std::unexpected(IoError::out_of_memory());
    const size_t size = (length + HUGE_PAGE_SIZE - 1) / HUGE_PAGE_SIZE * HUGE_PAGE_SIZE;
    // A mapping one huge page larger, trimmed to the huge page boundaries inside it.
    const size_t mapped = size + HUGE_PAGE_SIZE;
    void* start = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (start == MAP_FAILED) return std::unexpected(IoError::out_of_memory());
    const auto address = reinterpret_cast<uintptr_t>(start);
    const uintptr_t aligned = (address + HUGE_PAGE_SIZE - 1) & ~uintptr_t{HUGE_PAGE_SIZE - 1};
    if (aligned > address) (void)::munmap(start, aligned - address);
    if (const uintptr_t end = address + mapped; end > aligned + size)
        (void)::munmap(reinterpret_cast<void*>(aligned + size), end - aligned - size);
    // Advice only: without huge pages the area is plain memory.
    (void)::madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
    return HugePageArea(reinterpret_cast<uint8_t*>(aligned), size);
}

HugePageArea& HugePageArea::operator=(HugePageArea&& other) noexcept {
    if (this != &other) {
        if (data_ != nullptr) (void)::munmap(data_, size_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

HugePageArea::~HugePageArea() {
    if (data_ != nullptr) (void)::munmap(data_, size_);
}

bool lends_huge_pages() {
    std::ifstream setting("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string text;
    std::getline(setting, text);
    return text.find("[always]") != std::string::npos || text.find("[madvise]") != std::string::npos;
}

}  // namespace kro::base
