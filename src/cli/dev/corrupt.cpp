#include "cli/dev/corrupt.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>

#include "base/fs/file_io.hpp"
#include "base/page_buffer.hpp"

namespace kro::cli {

std::array<uint8_t, 32> corruption_key(uint64_t seed) {
    constexpr uint64_t MULTIPLIER = 6364136223846793005ULL;
    constexpr uint64_t INCREMENT = 11634580027462260723ULL;
    std::array<uint8_t, 32> key{};
    uint64_t state = seed;
    for (size_t word = 0; word < 8; ++word) {
        state = state * MULTIPLIER + INCREMENT;
        const auto xorshifted = static_cast<uint32_t>(((state >> 18) ^ state) >> 27);
        const auto rotation = static_cast<int>(state >> 59);
        const uint32_t value = std::rotr(xorshifted, rotation);
        for (size_t b = 0; b < 4; ++b) key[word * 4 + b] = static_cast<uint8_t>(value >> (8 * b));
    }
    return key;
}

base::i128 range_end(uint64_t start, uint64_t length) {
    return static_cast<base::i128>(start) + static_cast<base::i128>(length) - 1;
}

std::expected<void, base::IoError> overwrite_range(int fd, uint64_t length, const PieceFiller& fill) {
    base::PageBuffer buffer(static_cast<size_t>(std::min<uint64_t>(length, CORRUPT_CHUNK_SIZE)));
    uint64_t remaining = length;
    while (remaining > 0) {
        const std::span<uint8_t> piece(buffer.data(),
                                       static_cast<size_t>(std::min<uint64_t>(remaining, buffer.size())));
        fill(piece);
        if (auto written = base::write_all(fd, piece); !written) return written;
        remaining -= piece.size();
    }
    return {};
}

std::expected<base::UniqueFd, base::IoError> open_for_overwrite(const std::filesystem::path& path,
                                                                uint64_t start) {
    base::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd.valid()) return std::unexpected(base::IoError::last_os_error());
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return std::unexpected(base::IoError::last_os_error());
    if (!S_ISREG(st.st_mode))
        return std::unexpected(
            base::IoError::with_message(base::IoErrorKind::InvalidInput, "not a regular file"));
    if (::lseek(fd.get(), static_cast<off_t>(start), SEEK_SET) < 0)
        return std::unexpected(base::IoError::last_os_error());
    return fd;
}

}  // namespace kro::cli
