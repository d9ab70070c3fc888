#pragma once
// The sizes the whole file format is laid out by.

#include <cstddef>
#include <cstdint>

namespace kro::format {

// Every content file begins with a header of this length; no content file is shorter.
inline constexpr std::size_t HEADER_LEN = 60;

// The v3 leaf size, counted from file offset 0: file block 0 holds the header and the first
// content bytes.
inline constexpr uint64_t FILE_BLOCK_SIZE = 1048576;
inline constexpr unsigned FILE_BLOCK_LOG2 = 20;
static_assert(FILE_BLOCK_SIZE == uint64_t{1} << FILE_BLOCK_LOG2);

}  // namespace kro::format
