#include "base/errors/io_error.hpp"

#include <fmt/format.h>

#include <cerrno>
#include <cstring>

namespace kro::base {

IoError IoError::from_errno(int code) {
    return IoError(code, IoErrorKind::Os, {});
}

IoError IoError::last_os_error() {
    return from_errno(errno);
}

IoError IoError::with_message(IoErrorKind kind, std::string message) {
    return IoError(0, kind, std::move(message));
}

IoError IoError::out_of_memory() {
    return with_message(IoErrorKind::OutOfMemory, "out of memory");
}

IoErrorKind IoError::kind() const {
    if (kind_ != IoErrorKind::Os) return kind_;
    switch (code_) {
        case EINTR:
            return IoErrorKind::Interrupted;
        case EEXIST:
            return IoErrorKind::AlreadyExists;
        case ENOMEM:
            return IoErrorKind::OutOfMemory;
        case EINVAL:
            return IoErrorKind::InvalidInput;
        default:
            return IoErrorKind::Os;
    }
}

std::string IoError::message() const {
    if (kind_ == IoErrorKind::Os) return std::strerror(code_);
    return text_;
}

std::string IoError::debug() const {
    if (kind_ == IoErrorKind::Os) return fmt::format("Os {{ code: {}, message: \"{}\" }}", code_, message());
    return fmt::format("Custom {{ message: \"{}\" }}", text_);
}

}  // namespace kro::base
