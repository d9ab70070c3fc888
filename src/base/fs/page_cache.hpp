#pragma once
// Reading a file from the storage rather than from the page cache. A verdict about stored bytes
// must rest on bytes that the storage returned during the run: pages the kernel kept from the
// run that wrote them, or from any earlier read, would hide a device that lost what it was
// given. So the file's dirty pages are written back (what the check then reads is what reached
// the device) and its cached pages dropped before it is read, the pages each read brings in are
// dropped once read, and whatever is left is dropped when the file is done, so that a store
// larger than memory does not push the machine's working set out of the cache.
//
// Every call here is advice: a failure (a file system that does not take it, a store the user
// may only read) is ignored and changes nothing else. On a file system whose memory is the
// storage (tmpfs, ramfs) there is nothing to write back or drop, and nothing is asked.
// The advice and the reads go through the hooks (null: none).

#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <utility>

#include "base/errors/io_error.hpp"
#include "base/hooks.hpp"

namespace kro::base {

// Writes back the file's dirty pages, waiting until they are written, then drops every cached
// page of the file.
void write_back_and_drop(int fd, const Hooks* hooks);

// Drops the cached pages that lie wholly inside [offset, offset + length), and the last page of
// the file when the range reaches its end.
void drop_cached(int fd, uint64_t offset, uint64_t length, const Hooks* hooks);

// Drops the pages of `got` bytes just read at `offset` when they were at least a block's worth;
// the pages of smaller reads go when the file is done.
void drop_behind(int fd, uint64_t offset, uint64_t got, const Hooks* hooks);

// read_at_full followed by drop_behind.
std::expected<size_t, IoError> read_at_full_uncached(int fd, std::span<uint8_t> buffer, uint64_t offset,
                                                     const Hooks* hooks);

// Whether the memory of a file's file system is its storage, asked of the system once for each
// device in a row: a store on one file system costs one question, however many files it holds.
// Owned and used by one thread.
class MemoryStorageCheck {
  public:
    bool memory_is_storage(int fd, dev_t device);

  private:
    std::optional<dev_t> device_;
    bool memory_ = false;
};

// One file read from the storage: written back and dropped when made, dropped again when it
// goes (the pages that smaller or partial reads kept). Does nothing for an invalid descriptor or
// a file on a memory file system. Lives no longer than the descriptor and the hooks; move-only.
class StorageReading {
  public:
    StorageReading(int fd, const Hooks* hooks);
    // The same where the caller already knows whether the file's memory is its storage.
    StorageReading(int fd, bool memory_is_storage, const Hooks* hooks);
    StorageReading(StorageReading&& other) noexcept
        : fd_(std::exchange(other.fd_, -1)), hooks_(other.hooks_) {}
    StorageReading& operator=(StorageReading&&) = delete;
    StorageReading(const StorageReading&) = delete;
    StorageReading& operator=(const StorageReading&) = delete;
    ~StorageReading();

    // False on a memory file system or for an invalid descriptor: nothing is asked of the cache.
    bool from_storage() const { return fd_ >= 0; }

  private:
    int fd_;  // -1 when nothing is to be asked
    const Hooks* hooks_;
};

}  // namespace kro::base
