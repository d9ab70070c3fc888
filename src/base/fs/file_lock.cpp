#include "base/fs/file_lock.hpp"

#include <sys/file.h>

#include <cerrno>

namespace kro::base {
namespace {

// The answers of a file system that has no locks to give.
bool means_no_locks(int code) {
    return code == ENOLCK || code == EOPNOTSUPP || code == ENOSYS || code == EINVAL;
}

}  // namespace

std::expected<bool, IoError> takes_locks(int fd) {
    while (::flock(fd, LOCK_SH | LOCK_NB) != 0) {
        const int code = errno;
        if (code == EINTR) continue;
        if (code == EWOULDBLOCK) return true;  // someone holds it: locks work
        if (means_no_locks(code)) return false;
        return std::unexpected(IoError::from_errno(code));
    }
    (void)::flock(fd, LOCK_UN);
    return true;
}

std::expected<FileLock, IoError> FileLock::exclusive(int fd) {
    while (::flock(fd, LOCK_EX) != 0) {
        const int code = errno;
        if (code == EINTR) continue;
        if (means_no_locks(code)) return FileLock(-1);
        return std::unexpected(IoError::from_errno(code));
    }
    return FileLock(fd);
}

FileLock::~FileLock() {
    if (fd_ >= 0) (void)::flock(fd_, LOCK_UN);
}

}  // namespace kro::base
