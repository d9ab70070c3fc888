#pragma once
// Writes content files on the calling thread, one piece after another at the file's end, and
// computes each file's FileId on the way: v3 from the leaf hash of every block, v2 by one
// BLAKE2b-160 pass over header and content. One 1 MiB buffer and one content sponge serve every
// file of a run. Used by one thread.

#include <expected>

#include "base/fs/temp_file.hpp"
#include "base/page_buffer.hpp"
#include "format/digest.hpp"
#include "format/file_id.hpp"
#include "format/header.hpp"
#include "gen/generate_error.hpp"
#include "store/progress.hpp"

namespace kro::gen {

class SequentialWriter {
  public:
    // Written bytes are counted on `tracker` piece by piece.
    explicit SequentialWriter(store::ProgressTracker& tracker) : tracker_(tracker) {}

    // Writes the file that `header` describes into `temp` and returns its FileId.
    std::expected<format::FileId, GenerateError> write(const base::TempFile& temp,
                                                       const format::Header& header);

  private:
    std::expected<format::FileId, GenerateError> write_v3(const base::TempFile& temp,
                                                          const format::Header& header);
    std::expected<format::FileId, GenerateError> write_v2(const base::TempFile& temp,
                                                          const format::Header& header);

    base::PageBuffer buffer_;
    format::Shake128 sponge_;
    store::ProgressTracker& tracker_;
};

}  // namespace kro::gen
