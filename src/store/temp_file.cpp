#include "store/temp_file.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>

#include "base/os_random.hpp"
#include "base/panic.hpp"

namespace kro::store {

using base::IoError;

namespace {

constexpr int kNameAttempts = 16;

}  // namespace

TempFile::TempFile(TempFile&& other) noexcept
    : path_(std::move(other.path_)),
      fd_(std::move(other.fd_)),
      owns_name_(std::exchange(other.owns_name_, false)) {}

TempFile::~TempFile() {
    fd_.reset();
    if (owns_name_) ::unlink(path_.c_str());
}

int TempFile::fd() const {
    if (!fd_.valid()) base::panic("the file handle is open until persist");
    return fd_.get();
}

std::expected<void, IoError> TempFile::persist(const std::filesystem::path& final_path) && {
    fd_.reset();
    owns_name_ = false;
    if (::rename(path_.c_str(), final_path.c_str()) != 0) {
        const IoError error = IoError::last_os_error();
        ::unlink(path_.c_str());
        return std::unexpected(error);
    }
    return {};
}

std::expected<TempFile, IoError> create_unique_temp_file(const std::filesystem::path& dir,
                                                         std::string_view prefix) {
    return create_unique_temp_file(dir, prefix, base::fill_os_random);
}

std::expected<TempFile, IoError> create_unique_temp_file(const std::filesystem::path& dir,
                                                         std::string_view prefix, const RandomFill& random) {
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::array<uint8_t, 4> bytes{};
        if (auto filled = random(bytes); !filled) return std::unexpected(filled.error());
        const uint32_t value = uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 |
                               uint32_t{bytes[3]};
        auto path = dir / fmt::format("{}{:08x}", prefix, value);
        base::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (fd.valid()) return TempFile(std::move(path), std::move(fd));
        if (errno != EEXIST) return std::unexpected(IoError::last_os_error());
    }
    return std::unexpected(IoError::with_message(base::IoErrorKind::AlreadyExists,
                                                 "could not create a uniquely named temporary file"));
}

}  // namespace kro::store
