#include "gen/content_block.hpp"

#include <algorithm>

#include "format/content.hpp"

namespace kro::gen {

ContentBlocks::ContentBlocks(const format::Header& header)
    : seed_(header.seed()),
      file_length_(header.file_length()),
      header_(header.encode()),
      version_(header.version()),
      count_(format::v3_leaf_count(header.file_length())) {}

uint64_t ContentBlocks::length(uint64_t index) const {
    return format::file_block_len(file_length_, index);
}

void ContentBlocks::fill(format::Shake128& sponge, uint64_t index, std::span<uint8_t> block) const {
    std::span<uint8_t> content = block;
    if (index == 0) {
        std::ranges::copy(header_, block.begin());
        content = block.subspan(format::HEADER_LEN);
    }
    format::fill_content_block(sponge, version_, seed_, index, content);
}

}  // namespace kro::gen
