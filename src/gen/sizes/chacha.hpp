#pragma once
// The ChaCha random stream behind seeded file sizes and `dev corrupt-file --seed`. Seeded
// datasets depend on every bit it yields, so the order in which words are consumed is fixed:
// four blocks per refill, words taken lowest first, and the exact rules of `next_u64` and
// `fill_bytes` at the edge of the buffer. A stream is a plain value used by one thread.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kro::gen {

using ChaChaKey = std::array<uint8_t, 32>;

// Words of four consecutive ChaCha blocks with 64-bit block counters counter..counter+3 and a
// 64-bit stream number, block after block; `rounds` is the round count (12 for the stream,
// 20 for standard ChaCha20), a multiple of two.
void chacha_blocks(const ChaChaKey& key, uint64_t counter, uint64_t stream, unsigned rounds,
                   std::span<uint32_t, 64> out);

class ChaCha12Stream {
  public:
    static constexpr size_t BUFFER_WORDS = 64;

    // Block counter 0, stream 0, buffer used up (the first use refills).
    explicit ChaCha12Stream(const ChaChaKey& key);

    uint32_t next_u32();
    // Lower word first; at the buffer edge the low half is the old buffer's last word.
    uint64_t next_u64();
    // Whole words as little-endian bytes; a final partial word consumes a whole word.
    void fill_bytes(std::span<uint8_t> out);

    // The next unread buffer word; BUFFER_WORDS when the buffer is used up.
    size_t index() const { return index_; }
    uint64_t block_counter() const { return counter_; }

  private:
    void refill();

    ChaChaKey key_;
    uint64_t counter_ = 0;
    uint64_t stream_ = 0;
    std::array<uint32_t, BUFFER_WORDS> buffer_{};
    size_t index_ = BUFFER_WORDS;
};

}  // namespace kro::gen
