#pragma once
// Reads that go on while the thread that sent them off does other work: the kernel's ring of
// asynchronous I/O (io_uring) for one thread and a few reads in flight. Where the kernel offers
// none (too old, switched off, or filtered away), `make` gives nothing and the caller reads
// synchronously. Owned and used by one thread; move-only. Reads still in flight when the ring
// goes are waited for first, so that no buffer is written after its owner let it go.

#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>

#include "base/errors/io_error.hpp"

struct io_uring;

namespace kro::base {

class ReadRing {
  public:
    // A ring for up to `depth` reads in flight; nothing where the kernel offers none.
    static std::optional<ReadRing> make(unsigned depth);

    ReadRing(ReadRing&& other) noexcept;
    ReadRing& operator=(ReadRing&&) = delete;
    ReadRing(const ReadRing&) = delete;
    ReadRing& operator=(const ReadRing&) = delete;
    ~ReadRing();

    // Sends off one positional read of `buffer` at `offset`, to come back from `collect` with
    // `tag`. False, with nothing sent, when the ring is full or the kernel refused it.
    bool send(int fd, std::span<uint8_t> buffer, uint64_t offset, uint64_t tag);

    struct Completion {
        uint64_t tag;
        std::expected<size_t, IoError> read;  // the bytes read: fewer only where the file ends
    };
    // Waits for the next read to complete; a wait that a signal interrupts goes on waiting. Only
    // while a read is in flight.
    Completion collect();

    unsigned in_flight() const { return in_flight_; }

  private:
    ReadRing(std::unique_ptr<io_uring> ring, unsigned depth);

    std::unique_ptr<io_uring> ring_;
    unsigned depth_;
    unsigned in_flight_ = 0;
    bool broken_ = false;  // a submission failed: nothing more is sent
};

}  // namespace kro::base
