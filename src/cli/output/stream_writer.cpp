#include "cli/output/stream_writer.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <cstdint>
#include <span>

#include "base/errors/panic.hpp"
#include "base/fs/file_io.hpp"

namespace kro::cli {
namespace {

std::span<const uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

}  // namespace

void write_best_effort(int fd, std::string_view text) {
    [[maybe_unused]] const auto written = base::write_all(fd, bytes_of(text));
}

StreamWriter StreamWriter::standard_output() {
    return StreamWriter(STDOUT_FILENO, "stdout");
}

StreamWriter StreamWriter::standard_error() {
    return StreamWriter(STDERR_FILENO, "stderr");
}

void StreamWriter::flush() {
    const auto written = base::write_all(fd_, bytes_of(buffer_));
    buffer_.clear();
    if (!written) base::panic(fmt::format("failed printing to {}: {}", name_, written.error().message()));
}

}  // namespace kro::cli
