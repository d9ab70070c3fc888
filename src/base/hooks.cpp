#include "base/hooks.hpp"

#include <fcntl.h>
#include <unistd.h>

#include "base/os_random.hpp"

namespace kro::base {

bool Hooks::refuse_spawn(StageName, size_t) const {
    return false;
}

std::optional<IoError> Hooks::before_item(StageName, uint64_t) const {
    return std::nullopt;
}

void Hooks::on_reservation(int64_t) const {}

// An offset past the signed range of off_t is left for the kernel to refuse.
ssize_t Hooks::pread(int fd, void* buf, size_t count, uint64_t offset) const {
    return ::pread(fd, buf, count, static_cast<off_t>(offset));
}

ssize_t Hooks::pwrite(int fd, const void* buf, size_t count, uint64_t offset) const {
    return ::pwrite(fd, buf, count, static_cast<off_t>(offset));
}

int Hooks::close(int fd) const {
    return ::close(fd);
}

int Hooks::fadvise(int fd, uint64_t offset, uint64_t length, int advice) const {
    return ::posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(length), advice);
}

std::expected<void, IoError> Hooks::fill_random(std::span<uint8_t> out) const {
    return fill_os_random(out);
}

ssize_t pread(const Hooks* hooks, int fd, void* buf, size_t count, uint64_t offset) {
    return hooks != nullptr ? hooks->pread(fd, buf, count, offset)
                            : ::pread(fd, buf, count, static_cast<off_t>(offset));
}

ssize_t pwrite(const Hooks* hooks, int fd, const void* buf, size_t count, uint64_t offset) {
    return hooks != nullptr ? hooks->pwrite(fd, buf, count, offset)
                            : ::pwrite(fd, buf, count, static_cast<off_t>(offset));
}

int close(const Hooks* hooks, int fd) {
    return hooks != nullptr ? hooks->close(fd) : ::close(fd);
}

int fadvise(const Hooks* hooks, int fd, uint64_t offset, uint64_t length, int advice) {
    return hooks != nullptr
               ? hooks->fadvise(fd, offset, length, advice)
               : ::posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(length), advice);
}

std::expected<void, IoError> fill_random(const Hooks* hooks, std::span<uint8_t> out) {
    return hooks != nullptr ? hooks->fill_random(out) : fill_os_random(out);
}

}  // namespace kro::base
