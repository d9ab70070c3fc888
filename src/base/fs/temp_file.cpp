#include "base/fs/temp_file.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <stdio.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "base/errors/panic.hpp"
#include "base/fs/directory.hpp"
#include "base/os_random.hpp"

namespace kro::base {

using base::IoError;

namespace {

constexpr int NAME_ATTEMPTS = 16;

}  // namespace

std::expected<TempFile, IoError> TempFile::create_in(int dir_fd, const std::filesystem::path& dir,
                                                     std::string_view prefix, const Hooks* hooks,
                                                     TempFileRegistry* registry) {
    for (int attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
        std::array<uint8_t, 4> bytes{};
        auto filled = base::fill_random(hooks, bytes);
        if (!filled) return std::unexpected(filled.error());
        const uint32_t value = uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 |
                               uint32_t{bytes[3]};
        std::string name = fmt::format("{}{:08x}", prefix, value);
        int error = 0;
        const auto create = [&] {
            base::UniqueFd fd(::openat(dir_fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
            if (!fd.valid()) error = errno;
            return fd;
        };
        base::UniqueFd fd = registry != nullptr ? registry->create(dir_fd, name, create) : create();
        if (fd.valid()) {
            std::filesystem::path path = dir / name;
            return TempFile(dir_fd, std::move(name), std::move(path), std::move(fd), registry);
        }
        if (error != EEXIST) return std::unexpected(IoError::from_errno(error));
    }
    return std::unexpected(IoError::with_message(base::IoErrorKind::AlreadyExists,
                                                 "could not create a uniquely named temporary file"));
}

TempFile::TempFile(TempFile&& other) noexcept
    : dir_fd_(other.dir_fd_),
      name_(std::move(other.name_)),
      path_(std::move(other.path_)),
      fd_(std::move(other.fd_)),
      registry_(other.registry_),
      owns_name_(std::exchange(other.owns_name_, false)) {}

TempFile::~TempFile() {
    fd_.reset();
    if (!owns_name_) return;
    const auto unlink = [&] { return ::unlinkat(dir_fd_, name_.c_str(), 0); };
    if (registry_ != nullptr) {
        registry_->settle(dir_fd_, name_, unlink);
    } else {
        unlink();
    }
}

int TempFile::fd() const {
    if (!fd_.valid()) base::panic("the file handle is open until persist");
    return fd_.get();
}

std::expected<void, IoError> TempFile::close(const Hooks* hooks) {
    // Not retried on EINTR: on Linux the descriptor is gone either way, and what the kernel
    // could not report then is lost.
    const int fd = fd_.release();
    if (base::close(hooks, fd) != 0) return std::unexpected(IoError::last_os_error());
    return {};
}

std::expected<void, IoError> TempFile::persist_at(int dir_fd, const char* name) && {
    fd_.reset();
    owns_name_ = false;
    const auto rename = [&]() -> std::expected<void, IoError> {
        if (::renameat(dir_fd_, name_.c_str(), dir_fd, name) == 0) return {};
        const IoError error = IoError::last_os_error();
        ::unlinkat(dir_fd_, name_.c_str(), 0);
        return std::unexpected(error);
    };
    if (registry_ != nullptr) return registry_->settle(dir_fd_, name_, rename);
    return rename();
}

std::expected<TempFile, IoError> create_unique_temp_file(const Directory& dir, std::string_view prefix,
                                                         const Hooks* hooks, TempFileRegistry* registry) {
    return TempFile::create_in(dir.fd(), dir.path(), prefix, hooks, registry);
}

}  // namespace kro::base
