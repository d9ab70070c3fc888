#pragma once
// The parts of `kro dev corrupt-file` that stand on their own: the key expansion of `--seed`,
// the printed end of a requested range, the opening of the file for overwriting, and the loop
// that overwrites a range in bounded pieces. The command itself decides the range and prints the
// messages.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <span>

#include "base/errors/io_error.hpp"
#include "base/fd.hpp"
#include "base/wide_int.hpp"

namespace kro::cli {

// The largest piece written at once, and the most the command ever holds in memory.
inline constexpr size_t CORRUPT_CHUNK_SIZE = 65536;

// The 32-byte generator key for `--seed`: eight PCG32 outputs of the seed, each stored least
// significant byte first.
std::array<uint8_t, 32> corruption_key(uint64_t seed);

// The last offset of a range as printed: start + length - 1, exact for every input, so an empty
// range ends one before its start ("0 to -1").
base::i128 range_end(uint64_t start, uint64_t length);

// Opens the file for writing in place and moves to `start`, without ever blocking in open or
// writing into anything but a regular file: whatever was swapped in at the path after its size
// was read (a fifo, a device) is refused with the error "not a regular file".
std::expected<base::UniqueFd, base::IoError> open_for_overwrite(const std::filesystem::path& path,
                                                                uint64_t start);

// Prepares the next piece of the range in place.
using PieceFiller = std::function<void(std::span<uint8_t>)>;

// Overwrites `length` bytes from the descriptor's current position, in pieces of at most
// CORRUPT_CHUNK_SIZE bytes; each piece is filled and then written completely before the next.
// Stops at the first failed write; the pieces written before it stay written.
std::expected<void, base::IoError> overwrite_range(int fd, uint64_t length, const PieceFiller& fill);

}  // namespace kro::cli
