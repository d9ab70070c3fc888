#pragma once
// Memory for buffers that a device reads into directly: aligned to 2 MiB and asked to be backed
// by huge pages (transparent huge pages, with madvise), so that a 1 MiB read lands in one piece
// of physical memory instead of 256 scattered pages, which some devices split into several
// requests. Where the system lends no huge pages the area is plain memory, just as usable.
// Move-only; the pages go with it.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <utility>

#include "base/errors/io_error.hpp"

namespace kro::base {

inline constexpr size_t HUGE_PAGE_SIZE = 2 * 1024 * 1024;

class HugePageArea {
  public:
    HugePageArea() = default;
    // `length` bytes rounded up to whole huge pages; out of memory: an I/O error of kind
    // OutOfMemory.
    static std::expected<HugePageArea, IoError> allocate(size_t length);

    HugePageArea(HugePageArea&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    HugePageArea& operator=(HugePageArea&& other) noexcept;
    HugePageArea(const HugePageArea&) = delete;
    HugePageArea& operator=(const HugePageArea&) = delete;
    ~HugePageArea();

    std::span<uint8_t> span() { return {data_, size_}; }
    bool empty() const { return size_ == 0; }

  private:
    HugePageArea(uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

// Whether the system lends transparent huge pages to an area that asks for them (its setting is
// "always" or "madvise"), as it says in /sys/kernel/mm/transparent_hugepage/enabled; false when
// that cannot be read.
bool lends_huge_pages();

}  // namespace kro::base
