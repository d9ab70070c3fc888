#pragma once
// An I/O failure: an operating-system error code (displayed as the system's text), or a kind
// with a fixed message. Plain value; copyable.

#include <string>

#include "base/errors/error.hpp"

namespace kro::base {

enum class IoErrorKind {
    Os,
    Interrupted,
    InvalidInput,
    WriteZero,
    UnexpectedEof,
    AlreadyExists,
    OutOfMemory,
    Other
};

class IoError final : public Error {
  public:
    // From an errno value; EINTR maps to kind Interrupted, EEXIST to AlreadyExists.
    static IoError from_errno(int code);
    // The current errno.
    static IoError last_os_error();
    // A kind with its own fixed message.
    static IoError with_message(IoErrorKind kind, std::string message);
    // Kind OutOfMemory, "out of memory": what an allocation failure becomes.
    static IoError out_of_memory();

    IoErrorKind kind() const;
    // The operating-system code, or 0 for a kind made without one.
    int code() const { return code_; }

    std::string message() const override;
    std::string debug() const override;

  private:
    IoError(int code, IoErrorKind kind, std::string text)
        : code_(code), kind_(kind), text_(std::move(text)) {}
    int code_ = 0;
    IoErrorKind kind_ = IoErrorKind::Other;
    std::string text_;
};

}  // namespace kro::base
