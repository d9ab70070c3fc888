#include "base/fs/regular_file.hpp"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace kro::base {
namespace {

// Non-blocking and no controlling terminal, should a regular file ever be something that
// could block or take one; a lease held on it then fails the open instead of stalling it.
constexpr int READ_FLAGS = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
constexpr int PATH_FLAGS = O_PATH | O_CLOEXEC;

std::expected<UniqueFd, IoError> opened(int fd) {
    if (fd < 0) return std::unexpected(IoError::last_os_error());
    return UniqueFd(fd);
}

// openat(AT_FDCWD, path, flags) for a path of any length. The kernel refuses a path of
// PATH_MAX bytes or more; such a path is walked a piece of whole components at a time, each
// piece resolved from the directory the one before reached, links followed within and at the end
// of every piece, which is how one call would resolve it.
std::expected<UniqueFd, IoError> open_any_length(const char* path, int flags) {
    auto whole = opened(::open(path, flags));
    if (whole || whole.error().code() != ENAMETOOLONG) return whole;
    std::string_view rest(path);
    UniqueFd dir;
    const auto at = [&dir] { return dir.valid() ? dir.get() : AT_FDCWD; };
    while (rest.size() >= PATH_MAX) {
        const size_t cut = rest.rfind('/', PATH_MAX - 2);
        if (cut == std::string_view::npos) return whole;
        const std::string piece(cut == 0 ? std::string_view("/") : rest.substr(0, cut));
        auto next = opened(::openat(at(), piece.c_str(), PATH_FLAGS | O_DIRECTORY));
        if (!next) return next;
        dir = std::move(*next);
        rest.remove_prefix(cut);
        while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
    }
    // What is left may be empty, as for a path that ends in a separator: it names the directory.
    const std::string last(rest.empty() ? std::string_view(".") : rest);
    return opened(::openat(at(), last.c_str(), flags));
}

// Opens the file that `path_fd` resolved for reading, through the descriptor itself: its entry
// in /proc names exactly that file, whatever the path names by now. Where /proc is missing the
// path is opened again and must still name the same file.
std::expected<UniqueFd, IoError> reopen_for_reading(int path_fd, const char* path,
                                                    const struct stat& metadata) {
    const std::string own = fmt::format("/proc/self/fd/{}", path_fd);
    auto fd = opened(::open(own.c_str(), READ_FLAGS));
    if (fd || fd.error().code() != ENOENT) return fd;
    fd = open_any_length(path, READ_FLAGS);
    if (!fd) return fd;
    struct stat now {};
    if (::fstat(fd->get(), &now) != 0) return std::unexpected(IoError::last_os_error());
    if (now.st_dev != metadata.st_dev || now.st_ino != metadata.st_ino) {
        return std::unexpected(
            IoError::with_message(IoErrorKind::Other, "the file was replaced while it was being opened"));
    }
    return fd;
}

}  // namespace

std::expected<FileForReading, OpenFailure> open_regular_for_reading(const char* path) {
    auto resolved = open_any_length(path, PATH_FLAGS);
    if (!resolved) return std::unexpected(OpenFailure{OpenStep::Opening, std::move(resolved.error())});
    FileForReading file;
    if (::fstat(resolved->get(), &file.metadata) != 0) {
        return std::unexpected(OpenFailure{OpenStep::ReadingMetadata, IoError::last_os_error()});
    }
    if (!S_ISREG(file.metadata.st_mode)) return file;
    auto fd = reopen_for_reading(resolved->get(), path, file.metadata);
    if (!fd) return std::unexpected(OpenFailure{OpenStep::Opening, std::move(fd.error())});
    file.fd = std::move(*fd);
    return file;
}

}  // namespace kro::base
