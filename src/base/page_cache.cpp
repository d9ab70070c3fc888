#include "base/page_cache.hpp"

#include <fcntl.h>

#include "base/file_io.hpp"

namespace kro::base {

void write_back_and_drop(int fd) {
    // No device flush: the pages only have to reach the storage's queue before they are dropped.
    (void)::sync_file_range(fd, 0, 0,
                            SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
    (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
}

void drop_cached(int fd, uint64_t offset, uint64_t length) {
    // A length of 0 would mean "to the end of the file".
    if (length == 0) return;
    (void)::posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(length), POSIX_FADV_DONTNEED);
}

std::expected<size_t, IoError> read_at_full_uncached(int fd, std::span<uint8_t> buffer, uint64_t offset,
                                                     const Hooks* hooks) {
    auto got = read_at_full(fd, buffer, offset, hooks);
    if (got) drop_cached(fd, offset, *got);
    return got;
}

StorageReading::StorageReading(int fd) : fd_(fd) {
    if (fd_ >= 0) write_back_and_drop(fd_);
}

StorageReading::~StorageReading() {
    if (fd_ >= 0) (void)::posix_fadvise(fd_, 0, 0, POSIX_FADV_DONTNEED);
}

}  // namespace kro::base
