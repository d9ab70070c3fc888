#include "store/store_io.hpp"

#include <unistd.h>

#include <cerrno>
#include <limits>

namespace kro::store {
namespace {

using base::IoError;
using base::IoErrorKind;

// An offset past the signed range of off_t is left for the kernel to refuse.
ssize_t system_pread(int fd, void* buf, size_t count, uint64_t offset) {
    return ::pread(fd, buf, count, static_cast<off_t>(offset));
}

ssize_t system_pwrite(int fd, const void* buf, size_t count, uint64_t offset) {
    return ::pwrite(fd, buf, count, static_cast<off_t>(offset));
}

}  // namespace

std::expected<size_t, IoError> read_full(int fd, std::span<uint8_t> buffer) {
    size_t done = 0;
    while (done < buffer.size()) {
        const ssize_t n = ::read(fd, buffer.data() + done, buffer.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(IoError::last_os_error());
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

std::expected<size_t, IoError> read_at_full(int fd, std::span<uint8_t> buffer, uint64_t offset) {
    return detail::read_at_full_with(system_pread, fd, buffer, offset);
}

std::expected<void, IoError> write_all(int fd, std::span<const uint8_t> buffer) {
    size_t done = 0;
    while (done < buffer.size()) {
        const ssize_t n = ::write(fd, buffer.data() + done, buffer.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(IoError::last_os_error());
        }
        if (n == 0) {
            return std::unexpected(
                IoError::with_message(IoErrorKind::WriteZero, "failed to write whole buffer"));
        }
        done += static_cast<size_t>(n);
    }
    return {};
}

std::expected<void, IoError> write_all_at(int fd, std::span<const uint8_t> buffer, uint64_t offset) {
    return detail::write_all_at_with(system_pwrite, fd, buffer, offset);
}

namespace detail {

std::expected<size_t, IoError> read_at_full_with(PreadCall call, int fd, std::span<uint8_t> buffer,
                                                 uint64_t offset) {
    size_t done = 0;
    while (done < buffer.size()) {
        if (done > std::numeric_limits<uint64_t>::max() - offset) {
            return std::unexpected(
                IoError::with_message(IoErrorKind::InvalidInput, "positional read offset overflow"));
        }
        const ssize_t n = call(fd, buffer.data() + done, buffer.size() - done, offset + done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(IoError::last_os_error());
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

std::expected<void, IoError> write_all_at_with(PwriteCall call, int fd, std::span<const uint8_t> buffer,
                                               uint64_t offset) {
    size_t done = 0;
    while (done < buffer.size()) {
        const ssize_t n = call(fd, buffer.data() + done, buffer.size() - done, offset + done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(IoError::last_os_error());
        }
        if (n == 0) {
            return std::unexpected(
                IoError::with_message(IoErrorKind::WriteZero, "a positional write made no progress"));
        }
        done += static_cast<size_t>(n);
    }
    return {};
}

}  // namespace detail
}  // namespace kro::store
