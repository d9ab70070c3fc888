#include "base/os_random.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>

#include "base/fd.hpp"

namespace kro::base {
namespace {

std::expected<void, IoError> fill_from_urandom(std::span<uint8_t> out) {
    // Wait until the kernel's pool is initialised, as getrandom would.
    {
        UniqueFd random(::open("/dev/random", O_RDONLY | O_CLOEXEC));
        if (!random.valid()) return std::unexpected(IoError::last_os_error());
        pollfd pfd{random.get(), POLLIN, 0};
        while (::poll(&pfd, 1, -1) < 0) {
            if (errno != EINTR) return std::unexpected(IoError::last_os_error());
        }
    }
    UniqueFd urandom(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
    if (!urandom.valid()) return std::unexpected(IoError::last_os_error());
    size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::read(urandom.get(), out.data() + done, out.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(IoError::last_os_error());
        }
        if (n == 0)
            return std::unexpected(
                IoError::with_message(IoErrorKind::UnexpectedEof, "failed to fill whole buffer"));
        done += static_cast<size_t>(n);
    }
    return {};
}

}  // namespace

std::expected<void, IoError> fill_os_random(std::span<uint8_t> out) {
    size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::getrandom(out.data() + done, out.size() - done, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == ENOSYS) return fill_from_urandom(out.subspan(done));
            return std::unexpected(IoError::last_os_error());
        }
        done += static_cast<size_t>(n);
    }
    return {};
}

}  // namespace kro::base
