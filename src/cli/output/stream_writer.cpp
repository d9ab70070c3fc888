#include "cli/output/stream_writer.hpp"

#include <unistd.h>

#include <cerrno>

#include "base/io_error.hpp"
#include "base/panic.hpp"

namespace kro::cli {

StreamWriter StreamWriter::standard_output() {
    return StreamWriter(STDOUT_FILENO, "stdout");
}

StreamWriter StreamWriter::standard_error() {
    return StreamWriter(STDERR_FILENO, "stderr");
}

void StreamWriter::flush() {
    std::string_view rest = buffer_;
    while (!rest.empty()) {
        const ssize_t n = ::write(fd_, rest.data(), rest.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const base::IoError error = n < 0 ? base::IoError::last_os_error()
                                              : base::IoError::with_message(base::IoErrorKind::WriteZero,
                                                                            "failed to write whole buffer");
            buffer_.clear();
            base::panic(fmt::format("failed printing to {}: {}", name_, error.message()));
        }
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
    buffer_.clear();
}

}  // namespace kro::cli
