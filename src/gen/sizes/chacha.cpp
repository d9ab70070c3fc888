#include "gen/sizes/chacha.hpp"

#include <algorithm>

#include "base/errors/panic.hpp"

namespace kro::gen {

namespace {

// One lane per block: the four blocks of a refill run side by side in vector registers. The
// lanes never mix, so the output equals four separate block computations.
using Lanes = uint32_t __attribute__((vector_size(16)));

constexpr std::array<uint32_t, 4> SIGMA{0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

inline Lanes rotl(Lanes v, int n) {
    return (v << n) | (v >> (32 - n));
}

inline void quarter_round(Lanes& a, Lanes& b, Lanes& c, Lanes& d) {
    a += b;
    d = rotl(d ^ a, 16);
    c += d;
    b = rotl(b ^ c, 12);
    a += b;
    d = rotl(d ^ a, 8);
    c += d;
    b = rotl(b ^ c, 7);
}

uint32_t load_le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

Lanes splat(uint32_t v) {
    return Lanes{v, v, v, v};
}

}  // namespace

void chacha_blocks(const ChaChaKey& key, uint64_t counter, uint64_t stream, unsigned rounds,
                   std::span<uint32_t, 64> out) {
    if (rounds % 2 != 0) base::panic("ChaCha needs an even round count");
    std::array<Lanes, 16> initial;
    for (size_t i = 0; i < 4; ++i) initial[i] = splat(SIGMA[i]);
    for (size_t i = 0; i < 8; ++i) initial[4 + i] = splat(load_le32(key.data() + 4 * i));
    for (uint32_t lane = 0; lane < 4; ++lane) {
        const uint64_t block = counter + lane;
        initial[12][lane] = static_cast<uint32_t>(block);
        initial[13][lane] = static_cast<uint32_t>(block >> 32);
    }
    initial[14] = splat(static_cast<uint32_t>(stream));
    initial[15] = splat(static_cast<uint32_t>(stream >> 32));

    std::array<Lanes, 16> x = initial;
    for (unsigned r = 0; r < rounds; r += 2) {
        quarter_round(x[0], x[4], x[8], x[12]);
        quarter_round(x[1], x[5], x[9], x[13]);
        quarter_round(x[2], x[6], x[10], x[14]);
        quarter_round(x[3], x[7], x[11], x[15]);
        quarter_round(x[0], x[5], x[10], x[15]);
        quarter_round(x[1], x[6], x[11], x[12]);
        quarter_round(x[2], x[7], x[8], x[13]);
        quarter_round(x[3], x[4], x[9], x[14]);
    }
    for (size_t w = 0; w < 16; ++w) {
        const Lanes sum = x[w] + initial[w];
        for (size_t lane = 0; lane < 4; ++lane) out[lane * 16 + w] = sum[lane];
    }
}

ChaCha12Stream::ChaCha12Stream(const ChaChaKey& key) : key_(key) {}

void ChaCha12Stream::refill() {
    chacha_blocks(key_, counter_, stream_, 12, buffer_);
    counter_ += 4;
}

uint32_t ChaCha12Stream::next_u32() {
    if (index_ >= BUFFER_WORDS) {
        refill();
        index_ = 0;
    }
    return buffer_[index_++];
}

uint64_t ChaCha12Stream::next_u64() {
    if (index_ + 1 < BUFFER_WORDS) {
        const uint64_t value = buffer_[index_] | static_cast<uint64_t>(buffer_[index_ + 1]) << 32;
        index_ += 2;
        return value;
    }
    if (index_ + 1 == BUFFER_WORDS) {
        const uint64_t low = buffer_[index_];
        refill();
        index_ = 1;
        return low | static_cast<uint64_t>(buffer_[0]) << 32;
    }
    refill();
    index_ = 2;
    return buffer_[0] | static_cast<uint64_t>(buffer_[1]) << 32;
}

void ChaCha12Stream::fill_bytes(std::span<uint8_t> out) {
    size_t filled = 0;
    while (filled < out.size()) {
        if (index_ >= BUFFER_WORDS) {
            refill();
            index_ = 0;
        }
        const size_t remaining = out.size() - filled;
        const size_t words = std::min(BUFFER_WORDS - index_, remaining / 4);
        for (size_t w = 0; w < words; ++w) {
            const uint32_t word = buffer_[index_ + w];
            for (size_t b = 0; b < 4; ++b) out[filled + 4 * w + b] = static_cast<uint8_t>(word >> (8 * b));
        }
        index_ += words;
        filled += 4 * words;
        const size_t tail = out.size() - filled;
        if (tail > 0 && tail < 4 && index_ < BUFFER_WORDS) {
            // A partial word still uses up the whole word.
            const uint32_t word = buffer_[index_++];
            for (size_t b = 0; b < tail; ++b) out[filled + b] = static_cast<uint8_t>(word >> (8 * b));
            filled += tail;
        }
    }
}

}  // namespace kro::gen
