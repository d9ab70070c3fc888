#pragma once
// The content stream ("indexed SHAKE-128"): everything after the header is generated block by
// block, content block k being the first bytes of SHAKE128("kro:content:shake128:v{2,3}:" ‖
// seed ‖ k as big-endian u64). Content block 0 is the rest of file block 0 after the header;
// content block k >= 1 is exactly file block k. Blocks are independent, so any block can be made
// on its own, in any order, on any thread.
//
// fill_content_block is pure and may be called from many threads at once. A ContentReader is a
// value used by one thread at a time.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "format/digest.hpp"
#include "format/file_id.hpp"
#include "format/header.hpp"

namespace kro::format {

inline constexpr uint64_t FIRST_CONTENT_BLOCK_LEN = FILE_BLOCK_SIZE - HEADER_LEN;

// The full length of content block k: FIRST_CONTENT_BLOCK_LEN for block 0, else FILE_BLOCK_SIZE.
constexpr uint64_t content_block_capacity(uint64_t block_index) {
    return block_index == 0 ? FIRST_CONTENT_BLOCK_LEN : FILE_BLOCK_SIZE;
}

// Writes the first out.size() bytes of content block `block_index` into `out`. Panics when
// out.size() exceeds the block's full length.
void fill_content_block(FormatVersion version, const ContentSeed& seed, uint64_t block_index,
                        std::span<uint8_t> out);

// The same through a sponge the caller owns, so that a worker filling many blocks opens its
// hash context once.
void fill_content_block(Shake128& sponge, FormatVersion version, const ContentSeed& seed,
                        uint64_t block_index, std::span<uint8_t> out);

// A sequential reader of a file's content stream, from any content offset on. The stream never
// ends: reading past any file's length goes on with the next block indexes.
class ContentReader {
  public:
    // A reader whose next byte is content byte `content_offset`. Costs at most one block of
    // squeezing: the target block is started and its in-block offset discarded.
    static ContentReader at_offset(const ContentSeed& seed, uint64_t content_offset, FormatVersion version);

    // Fills all of `out` with the next bytes of the stream, crossing blocks as needed.
    void fill(std::span<uint8_t> out);
    // Byte-source form of fill: always fills all of `out` and returns its length.
    std::size_t read(std::span<uint8_t> out) {
        fill(out);
        return out.size();
    }

  private:
    static constexpr std::size_t DISCARD_CHUNK = 8192;

    ContentReader(const ContentSeed& seed, FormatVersion version) : seed_(seed), version_(version) {}
    void start_block();
    void discard(uint64_t count);

    Shake128 sponge_;
    bool sponge_active_ = false;
    ContentSeed seed_;
    uint64_t next_block_ = 0;
    uint64_t left_in_block_ = 0;
    FormatVersion version_;
    std::array<uint8_t, DISCARD_CHUNK> scratch_;
};

}  // namespace kro::format
