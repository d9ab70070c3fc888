#include "base/fs/read_ring.hpp"

#include <liburing.h>

#include <cerrno>
#include <utility>

#include "base/errors/panic.hpp"

namespace kro::base {

std::optional<ReadRing> ReadRing::make(unsigned depth) {
    auto ring = std::make_unique<io_uring>();
    if (io_uring_queue_init(depth, ring.get(), 0) != 0) return std::nullopt;
    return ReadRing(std::move(ring), depth);
}

ReadRing::ReadRing(std::unique_ptr<io_uring> ring, unsigned depth) : ring_(std::move(ring)), depth_(depth) {}

ReadRing::ReadRing(ReadRing&& other) noexcept
    : ring_(std::move(other.ring_)),
      depth_(other.depth_),
      in_flight_(std::exchange(other.in_flight_, 0)),
      broken_(other.broken_) {}

ReadRing::~ReadRing() {
    if (!ring_) return;
    while (in_flight_ > 0) (void)collect();
    io_uring_queue_exit(ring_.get());
}

bool ReadRing::send(int fd, std::span<uint8_t> buffer, uint64_t offset, uint64_t tag) {
    if (broken_ || in_flight_ >= depth_) return false;
    io_uring_sqe* sqe = io_uring_get_sqe(ring_.get());
    if (sqe == nullptr) return false;
    io_uring_prep_read(sqe, fd, buffer.data(), static_cast<unsigned>(buffer.size()), offset);
    io_uring_sqe_set_data64(sqe, tag);
    int submitted;
    while ((submitted = io_uring_submit(ring_.get())) == -EINTR) {
    }
    if (submitted != 1) {
        // The entry stays queued and nothing takes it back: a later submission would send it
        // after all, into a buffer its owner has taken back. So nothing is ever submitted again.
        broken_ = true;
        return false;
    }
    ++in_flight_;
    return true;
}

ReadRing::Completion ReadRing::collect() {
    if (in_flight_ == 0) panic("a read is collected only while one is in flight");
    io_uring_cqe* cqe = nullptr;
    int waited;
    while ((waited = io_uring_wait_cqe(ring_.get(), &cqe)) == -EINTR) {
    }
    if (waited != 0) panic("the ring's completions come while reads are in flight");
    const uint64_t tag = io_uring_cqe_get_data64(cqe);
    const int result = cqe->res;
    io_uring_cqe_seen(ring_.get(), cqe);
    --in_flight_;
    if (result < 0) return {tag, std::unexpected(IoError::from_errno(-result))};
    return {tag, static_cast<size_t>(result)};
}

}  // namespace kro::base
