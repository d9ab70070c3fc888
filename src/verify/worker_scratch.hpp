#pragma once
// The reusable state of one verification worker: the block buffer (bytes as read), the expected
// buffer (regenerated content), the content sponge that refills the latter, what kind of file
// system the last file was on, and, made when a large file first needs them, the two block
// buffers of a lane that reads ahead and its ring of asynchronous reads. A worker lends it to
// every file it verifies, so hashing and comparing allocate nothing per file. Every buffer is
// page-aligned: the kernel copies every block read into one, or the device writes it there
// directly. Owned and used by one thread.

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>

#include "base/errors/io_error.hpp"
#include "base/fs/page_cache.hpp"
#include "base/fs/read_ring.hpp"
#include "base/huge_page_area.hpp"
#include "base/page_buffer.hpp"
#include "format/digest.hpp"
#include "format/file_id.hpp"

namespace kro::verify {

class WorkerScratch {
  public:
    base::PageBuffer block;
    base::PageBuffer expected;
    format::Shake128 sponge;
    base::MemoryStorageCheck storage_check;

    // Two buffers of a whole file block each, on one huge page: the block a lane works on and the
    // one being read meanwhile. Made on first use.
    std::expected<std::array<std::span<uint8_t>, 2>, base::IoError> lane_buffers() {
        if (lane_area_.empty()) {
            auto area = base::HugePageArea::allocate(2 * format::FILE_BLOCK_SIZE);
            if (!area) return std::unexpected(std::move(area.error()));
            lane_area_ = std::move(*area);
        }
        const auto whole = lane_area_.span();
        return std::array{whole.first(format::FILE_BLOCK_SIZE),
                          whole.subspan(format::FILE_BLOCK_SIZE, format::FILE_BLOCK_SIZE)};
    }

    // The ring of asynchronous reads, made on first use; null where the kernel offers none.
    base::ReadRing* read_ring() {
        if (!ring_ && !ring_refused_) {
            if (auto made = base::ReadRing::make(RING_DEPTH)) ring_.emplace(std::move(*made));
            ring_refused_ = !ring_;
        }
        return ring_ ? &*ring_ : nullptr;
    }

  private:
    // A lane has one read in flight while it works on a block; one more slot to spare.
    static constexpr unsigned RING_DEPTH = 2;

    base::HugePageArea lane_area_;
    // Last: it waits for its reads in flight before the buffers above go.
    std::optional<base::ReadRing> ring_;
    bool ring_refused_ = false;
};

}  // namespace kro::verify
