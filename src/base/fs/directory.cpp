#include "base/fs/directory.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "base/fs/file_io.hpp"

namespace kro::base {
namespace {

using base::IoError;
using base::UniqueFd;

// O_PATH needs no read permission on the directory, as the path-based calls did not.
constexpr int ENTER = O_PATH | O_DIRECTORY | O_CLOEXEC;

std::expected<UniqueFd, IoError> opened(int fd) {
    if (fd < 0) return std::unexpected(IoError::last_os_error());
    return UniqueFd(fd);
}

}  // namespace

std::expected<UniqueFd, IoError> open_dir_at(int parent_fd, const char* name) {
    return opened(::openat(parent_fd, name, ENTER | O_NOFOLLOW));
}

std::expected<UniqueFd, IoError> make_dir_at(int parent_fd, const char* name) {
    // An existing directory is fine; whatever else is there, the open below refuses it.
    if (::mkdirat(parent_fd, name, 0777) != 0 && errno != EEXIST)
        return std::unexpected(IoError::last_os_error());
    return open_dir_at(parent_fd, name);
}

std::expected<Directory, IoError> Directory::create_root(const std::filesystem::path& path) {
    if (auto made = create_dir_all(path); !made) return std::unexpected(made.error());
    return open_root(path);
}

std::expected<Directory, IoError> Directory::open_root(const std::filesystem::path& path) {
    // An empty root is the working directory, as it is for the path-based calls.
    auto fd = opened(::open(path.empty() ? "." : path.c_str(), ENTER));
    if (!fd) return std::unexpected(fd.error());
    return Directory(std::move(*fd), path);
}

std::expected<Directory, IoError> Directory::make_child(std::string_view name) const {
    const std::string text(name);
    auto fd = make_dir_at(fd_.get(), text.c_str());
    if (!fd) return std::unexpected(fd.error());
    return Directory(std::move(*fd), path_ / text);
}

std::expected<Directory, IoError> Directory::open_child(std::string_view name) const {
    const std::string text(name);
    auto fd = open_dir_at(fd_.get(), text.c_str());
    if (!fd) return std::unexpected(fd.error());
    return Directory(std::move(*fd), path_ / text);
}

std::expected<void, IoError> Directory::may_write() const {
    // "." is this very directory, whatever its path names by now.
    if (::faccessat(fd_.get(), ".", W_OK | X_OK, AT_EACCESS) != 0)
        return std::unexpected(IoError::last_os_error());
    return {};
}

}  // namespace kro::base
