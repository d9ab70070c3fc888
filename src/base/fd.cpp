#include "base/fd.hpp"

#include <unistd.h>

namespace kro::base {

void UniqueFd::reset() {
    // close() is not retried on EINTR: on Linux the descriptor is gone either way.
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

}  // namespace kro::base
