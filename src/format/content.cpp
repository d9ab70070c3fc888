#include "format/content.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <string_view>

#include "base/errors/panic.hpp"
#include "format/big_endian.hpp"

namespace kro::format {

namespace {

constexpr std::size_t DOMAIN_LEN = 24;
constexpr std::string_view V2_DOMAIN = "kro:content:shake128:v2:";
constexpr std::string_view V3_DOMAIN = "kro:content:shake128:v3:";
static_assert(V2_DOMAIN.size() == DOMAIN_LEN && V3_DOMAIN.size() == DOMAIN_LEN);

using BlockMessage = std::array<uint8_t, DOMAIN_LEN + ContentSeed::LEN + 8>;

// M(k): the domain of the version (no terminator), the seed, k as big-endian u64.
BlockMessage block_message(FormatVersion version, const ContentSeed& seed, uint64_t block_index) {
    BlockMessage m;
    const std::string_view domain = version == FormatVersion::V2 ? V2_DOMAIN : V3_DOMAIN;
    auto it = std::ranges::copy(domain, m.begin()).out;
    it = std::ranges::copy(seed.bytes, it).out;
    std::ranges::copy(be64_bytes(block_index), it);
    return m;
}

void start_sponge(Shake128& sponge, FormatVersion version, const ContentSeed& seed, uint64_t block_index) {
    sponge.restart(block_message(version, seed, block_index));
}

}  // namespace

void fill_content_block(Shake128& sponge, FormatVersion version, const ContentSeed& seed,
                        uint64_t block_index, std::span<uint8_t> out) {
    const uint64_t max = content_block_capacity(block_index);
    if (out.size() > max) base::panic(fmt::format("content block {} is at most {} bytes", block_index, max));
    start_sponge(sponge, version, seed, block_index);
    sponge.squeeze(out);
}

void fill_content_block(FormatVersion version, const ContentSeed& seed, uint64_t block_index,
                        std::span<uint8_t> out) {
    Shake128 sponge;
    fill_content_block(sponge, version, seed, block_index, out);
}

ContentReader ContentReader::at_offset(const ContentSeed& seed, uint64_t content_offset,
                                       FormatVersion version) {
    ContentReader reader(seed, version);
    uint64_t block = 0;
    uint64_t in_block = content_offset;
    if (content_offset >= FIRST_CONTENT_BLOCK_LEN) {
        block = ((content_offset - FIRST_CONTENT_BLOCK_LEN) >> FILE_BLOCK_LOG2) + 1;
        in_block = (content_offset - FIRST_CONTENT_BLOCK_LEN) & (FILE_BLOCK_SIZE - 1);
    }
    reader.next_block_ = block;
    if (in_block != 0) {
        reader.start_block();
        reader.discard(in_block);
    }
    return reader;
}

void ContentReader::start_block() {
    start_sponge(sponge_, version_, seed_, next_block_);
    sponge_active_ = true;
    left_in_block_ = content_block_capacity(next_block_);
    ++next_block_;
}

void ContentReader::discard(uint64_t count) {
    left_in_block_ -= count;
    while (count > 0) {
        const std::size_t piece = static_cast<std::size_t>(std::min<uint64_t>(count, scratch_.size()));
        sponge_.squeeze(std::span(scratch_).first(piece));
        count -= piece;
    }
}

void ContentReader::fill(std::span<uint8_t> out) {
    while (!out.empty()) {
        if (left_in_block_ == 0) start_block();
        if (!sponge_active_) base::panic("a block reader exists while bytes remain");
        const std::size_t piece = static_cast<std::size_t>(std::min<uint64_t>(left_in_block_, out.size()));
        sponge_.squeeze(out.first(piece));
        left_in_block_ -= piece;
        out = out.subspan(piece);
    }
}

}  // namespace kro::format
