#include "base/fs/page_cache.hpp"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/vfs.h>

#include "base/fs/file_io.hpp"

namespace kro::base {
namespace {

// Reads smaller than this leave their pages to the drop when the file is done: one call for a
// file of a few blocks, and one call a block for larger files.
constexpr uint64_t DROP_BEHIND_MIN = 1 << 20;

// True for a file system whose memory is its storage: its pages are the stored bytes.
bool is_memory_file_system(int fd) {
    struct statfs fs {};
    if (::fstatfs(fd, &fs) != 0) return false;
    return fs.f_type == TMPFS_MAGIC || fs.f_type == RAMFS_MAGIC;
}

}  // namespace

void write_back_and_drop(int fd, const Hooks* hooks) {
    // No device flush: the pages only have to reach the storage's queue before they are dropped.
    (void)::sync_file_range(fd, 0, 0,
                            SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
    (void)fadvise(hooks, fd, 0, 0, POSIX_FADV_DONTNEED);
}

void drop_cached(int fd, uint64_t offset, uint64_t length, const Hooks* hooks) {
    // A length of 0 would mean "to the end of the file".
    if (length == 0) return;
    (void)fadvise(hooks, fd, offset, length, POSIX_FADV_DONTNEED);
}

void drop_behind(int fd, uint64_t offset, uint64_t got, const Hooks* hooks) {
    if (got >= DROP_BEHIND_MIN) drop_cached(fd, offset, got, hooks);
}

std::expected<size_t, IoError> read_at_full_uncached(int fd, std::span<uint8_t> buffer, uint64_t offset,
                                                     const Hooks* hooks) {
    auto got = read_at_full(fd, buffer, offset, hooks);
    if (got) drop_behind(fd, offset, *got, hooks);
    return got;
}

bool MemoryStorageCheck::memory_is_storage(int fd, dev_t device) {
    if (device_ != device) {
        memory_ = is_memory_file_system(fd);
        device_ = device;
    }
    return memory_;
}

StorageReading::StorageReading(int fd, const Hooks* hooks)
    : StorageReading(fd, fd >= 0 && is_memory_file_system(fd), hooks) {}

StorageReading::StorageReading(int fd, bool memory_is_storage, const Hooks* hooks)
    : fd_(memory_is_storage ? -1 : fd), hooks_(hooks) {
    if (fd_ >= 0) write_back_and_drop(fd_, hooks_);
}

StorageReading::~StorageReading() {
    if (fd_ >= 0) (void)fadvise(hooks_, fd_, 0, 0, POSIX_FADV_DONTNEED);
}

}  // namespace kro::base
