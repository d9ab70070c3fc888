#pragma once
// The file blocks of one content file, as both writers build them: block k is the k-th 1 MiB of
// the file (the last one cut short), block 0 starts with the encoded header, and the rest of
// every block is the content stream's block k. Its bytes depend only on the header, never on
// which thread builds it or when. A plain value, read-only while writers use it.

#include <cstdint>
#include <span>

#include "format/digest.hpp"
#include "format/file_id.hpp"
#include "format/header.hpp"

namespace kro::gen {

class ContentBlocks {
  public:
    explicit ContentBlocks(const format::Header& header);

    // How many blocks the file has: ceil(file_length / FILE_BLOCK_SIZE).
    uint64_t count() const { return count_; }
    uint64_t file_length() const { return file_length_; }
    format::FormatVersion version() const { return version_; }
    // The length of block `index`.
    uint64_t length(uint64_t index) const;
    // Fills `block`, exactly length(index) bytes long, with block `index`; `sponge` is the
    // calling thread's own.
    void fill(format::Shake128& sponge, uint64_t index, std::span<uint8_t> block) const;

  private:
    format::ContentSeed seed_;
    uint64_t file_length_;
    format::HeaderBytes header_;
    format::FormatVersion version_;
    uint64_t count_;
};

}  // namespace kro::gen
