#pragma once
// Advisory whole-file locks (flock) on a descriptor open for I/O. They bind only those who ask for
// them and leave the file untouched. Some file systems take no locks at all (NFS without its lock
// service answers ENOLCK, others EOPNOTSUPP, ENOSYS or EINVAL): there a lock is not to be had, and
// the caller decides whether to go on without one.

#include <expected>
#include <utility>

#include "base/errors/io_error.hpp"

namespace kro::base {

// Whether the file system of `fd` takes locks at all. Asks for a shared lock without waiting and
// gives back what it got, so that it neither waits for nor disturbs a holder. Fails on anything
// but an answer that locks work or that there are none.
std::expected<bool, IoError> takes_locks(int fd);

// An exclusive lock held on a descriptor until it is dropped (or the descriptor is closed).
// Empty where the file system takes no locks. Must not outlive the descriptor. Move-only.
class FileLock {
  public:
    // Waits for the exclusive lock on `fd`; a wait that a signal handler interrupts goes on
    // waiting. Where the file system takes no locks, returns an empty lock at once.
    static std::expected<FileLock, IoError> exclusive(int fd);

    FileLock(FileLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileLock& operator=(FileLock&&) = delete;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock();

    bool held() const { return fd_ >= 0; }

  private:
    explicit FileLock(int fd) : fd_(fd) {}

    int fd_;  // -1 when nothing is held
};

}  // namespace kro::base
