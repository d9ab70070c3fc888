#include "base/fs/file_io.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <string>
#include <string_view>

namespace kro::base {
namespace {

using base::IoError;
using base::IoErrorKind;

// mkdir that accepts an existing directory, as a concurrent creator may have made it. When the
// look at what exists fails, that failure is what stopped the call, not the "already exists".
std::expected<void, IoError> make_dir(const std::filesystem::path& dir) {
    if (::mkdir(dir.c_str(), 0777) == 0) return {};
    const IoError error = IoError::last_os_error();
    if (error.code() != EEXIST) return std::unexpected(error);
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) return std::unexpected(IoError::last_os_error());
    if (S_ISDIR(st.st_mode)) return {};
    return std::unexpected(error);
}

// Repeats `call(done)` until `size` bytes are done. Interrupted calls are repeated; any other
// failure is returned; a call that moves no byte ends the loop.
template <typename Call>
std::expected<size_t, IoError> transfer(size_t size, Call call) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = call(done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(IoError::last_os_error());
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

// A write loop that stopped short made no progress.
std::expected<void, IoError> written_whole(std::expected<size_t, IoError> done, size_t size,
                                           std::string_view no_progress) {
    if (!done) return std::unexpected(done.error());
    if (*done < size)
        return std::unexpected(IoError::with_message(IoErrorKind::WriteZero, std::string(no_progress)));
    return {};
}

}  // namespace

std::expected<size_t, IoError> read_full(int fd, std::span<uint8_t> buffer) {
    return transfer(buffer.size(),
                    [&](size_t done) { return ::read(fd, buffer.data() + done, buffer.size() - done); });
}

std::expected<size_t, IoError> read_at_full(int fd, std::span<uint8_t> buffer, uint64_t offset,
                                            const Hooks* hooks) {
    // A call may start only while offset + done fits in 64 bits: read at most up to there.
    const uint64_t last_start = std::numeric_limits<uint64_t>::max() - offset;
    const size_t reachable = last_start < buffer.size() ? static_cast<size_t>(last_start) + 1 : buffer.size();
    const auto done = transfer(reachable, [&](size_t done) {
        uint8_t* at = buffer.data() + done;
        const size_t count = buffer.size() - done;
        return base::pread(hooks, fd, at, count, offset + done);
    });
    if (done && *done == reachable && reachable < buffer.size()) {
        return std::unexpected(
            IoError::with_message(IoErrorKind::InvalidInput, "positional read offset overflow"));
    }
    return done;
}

std::expected<void, IoError> write_all(int fd, std::span<const uint8_t> buffer) {
    const auto done = transfer(
        buffer.size(), [&](size_t done) { return ::write(fd, buffer.data() + done, buffer.size() - done); });
    return written_whole(done, buffer.size(), "failed to write whole buffer");
}

std::expected<void, IoError> write_all_at(int fd, std::span<const uint8_t> buffer, uint64_t offset,
                                          const Hooks* hooks) {
    const auto done = transfer(buffer.size(), [&](size_t done) {
        const uint8_t* at = buffer.data() + done;
        const size_t count = buffer.size() - done;
        return base::pwrite(hooks, fd, at, count, offset + done);
    });
    return written_whole(done, buffer.size(), "a positional write made no progress");
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

uint64_t size_or_zero(const char* path) {
    struct stat st {};
    if (::stat(path, &st) != 0 || st.st_size < 0) return 0;
    return static_cast<uint64_t>(st.st_size);
}

}  // namespace kro::base
