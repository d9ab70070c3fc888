#pragma once
// The I/O loops that generation and verification share. They hide short transfers and
// retry calls interrupted by a signal; every other failure is returned unchanged for the
// caller to wrap with its action and path. They work on a raw descriptor and keep no state.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>

#include "base/errors/io_error.hpp"
#include "base/hooks.hpp"

namespace kro::base {

// Reads from the descriptor's current position until `buffer` is full or the file ends.
// The count is below the buffer's length only at end of file.
std::expected<size_t, base::IoError> read_full(int fd, std::span<uint8_t> buffer);

// The same with positional reads at `offset`; the file position is neither used nor moved. The
// reads go through `hooks` (null: none).
std::expected<size_t, base::IoError> read_at_full(int fd, std::span<uint8_t> buffer, uint64_t offset,
                                                  const Hooks* hooks);

// Writes the whole buffer at the descriptor's current position.
std::expected<void, base::IoError> write_all(int fd, std::span<const uint8_t> buffer);

// Writes the whole buffer with positional writes starting at `offset`, through `hooks` (null:
// none).
std::expected<void, base::IoError> write_all_at(int fd, std::span<const uint8_t> buffer, uint64_t offset,
                                                const Hooks* hooks);

// Creates `dir` and every missing ancestor with mode 0777 before the umask. Directories that
// exist already are fine; anything else in the way fails.
std::expected<void, base::IoError> create_dir_all(const std::filesystem::path& dir);

// The size that a path's metadata gives, following links; 0 when it cannot be read.
uint64_t size_or_zero(const char* path);

}  // namespace kro::base
