#include "gen/sequential_write.hpp"

#include <algorithm>
#include <span>
#include <string_view>

#include "base/errors/panic.hpp"
#include "base/fs/file_io.hpp"
#include "format/content.hpp"
#include "format/leaf_table.hpp"
#include "gen/content_block.hpp"

namespace kro::gen {
namespace {

using base::IoError;
using format::FormatVersion;

// The I/O unit of sequential writing.
constexpr uint64_t WRITE_BLOCK_SIZE = format::FILE_BLOCK_SIZE;

constexpr std::string_view ALLOCATING_LEAVES = "allocating v3 file hashes";
constexpr std::string_view WRITING_HEADER = "writing the header";

std::unexpected<GenerateError> fail(std::string_view action, const base::TempFile& temp, IoError cause) {
    return std::unexpected(GenerateError::io(action, temp.path(), std::move(cause)));
}

}  // namespace

std::expected<format::FileId, GenerateError> SequentialWriter::write(const base::TempFile& temp,
                                                                     const format::Header& header) {
    // Made with the first file, so that a machine without the memory fails that file cleanly.
    if (buffer_.empty()) {
        auto buffer = base::PageBuffer::allocate(static_cast<size_t>(WRITE_BLOCK_SIZE));
        if (!buffer) return fail(WRITING_CONTENT, temp, buffer.error());
        buffer_ = std::move(*buffer);
    }
    return header.version() == FormatVersion::V3 ? write_v3(temp, header) : write_v2(temp, header);
}

std::expected<format::FileId, GenerateError> SequentialWriter::write_v3(const base::TempFile& temp,
                                                                        const format::Header& header) {
    const ContentBlocks blocks(header);
    auto leaves = format::allocate_leaf_table(blocks.count());
    if (!leaves) return fail(ALLOCATING_LEAVES, temp, leaves.error());
    for (uint64_t k = 0; k < blocks.count(); ++k) {
        const std::span<uint8_t> block(buffer_.data(), static_cast<size_t>(blocks.length(k)));
        blocks.fill(sponge_, k, block);
        (*leaves)[k] = format::leaf_hash(k, block);
        if (auto written = base::write_all(temp.fd(), block); !written) {
            return fail(WRITING_CONTENT, temp, written.error());
        }
        tracker_.add_bytes(block.size());
    }
    return format::merkle_file_id(std::move(*leaves), blocks.file_length());
}

std::expected<format::FileId, GenerateError> SequentialWriter::write_v2(const base::TempFile& temp,
                                                                        const format::Header& header) {
    format::V2FileIdHasher hasher;
    const auto encoded = header.encode();
    if (auto written = base::write_all(temp.fd(), encoded); !written) {
        return fail(WRITING_HEADER, temp, written.error());
    }
    hasher.update(encoded);
    tracker_.add_bytes(encoded.size());
    auto reader = format::ContentReader::at_offset(header.seed(), 0, FormatVersion::V2);
    for (uint64_t remaining = header.file_length() - format::HEADER_LEN; remaining > 0;) {
        const std::span<uint8_t> piece(buffer_.data(),
                                       static_cast<size_t>(std::min(remaining, WRITE_BLOCK_SIZE)));
        if (reader.read(piece) != piece.size()) base::panic("the content stream is infinite and never fails");
        if (auto written = base::write_all(temp.fd(), piece); !written) {
            return fail(WRITING_CONTENT, temp, written.error());
        }
        hasher.update(piece);
        tracker_.add_bytes(piece.size());
        remaining -= piece.size();
    }
    return hasher.finalize();
}

}  // namespace kro::gen
