#include "store/store_io.hpp"

#include <sys/stat.h>
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

bool names_directory(const std::filesystem::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// mkdir that accepts an existing directory, as a concurrent creator may have made it.
std::expected<void, IoError> make_dir(const std::filesystem::path& dir) {
    if (::mkdir(dir.c_str(), 0777) == 0) return {};
    const IoError error = IoError::last_os_error();
    if (error.code() == EEXIST && names_directory(dir)) return {};
    return std::unexpected(error);
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

std::expected<void, IoError> create_dir_all(const std::filesystem::path& dir) {
    if (dir.empty()) return {};
    auto made = make_dir(dir);
    if (made || made.error().code() != ENOENT) return made;
    const auto parent = dir.parent_path();
    if (parent.empty() || parent == dir) return made;
    if (auto up = create_dir_all(parent); !up) return up;
    return make_dir(dir);
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
