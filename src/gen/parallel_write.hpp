#pragma once
// Writes one large content file, header and content, with several threads. Generator threads
// claim whole 1 MiB file blocks by index, build them (and, for v3, hash their leaves), writer
// threads put them into the preallocated temporary file with positional writes, and for v2 the
// calling thread hashes the blocks strictly in file order. A bounded buffer pool limits the
// memory in flight; the first failure cancels the stage so that every thread winds down. The bytes and
// the FileId do not depend on the number of threads or on the order in which blocks finish.

#include <cstddef>
#include <expected>
#include <vector>

#include "base/fs/temp_file.hpp"
#include "base/hooks.hpp"
#include "base/page_buffer.hpp"
#include "format/file_id.hpp"
#include "format/header.hpp"
#include "gen/generate_error.hpp"
#include "store/progress.hpp"

namespace kro::gen {

// The generators and writers of the parallel writer, as the test hooks know them.
inline constexpr base::StageName CONTENT_WRITER{"content writer"};

// Writes large files one at a time with a fixed worker budget. The buffers of one file are kept
// for the next, so that a run of large files allocates (and faults in) its block buffers once.
// Used by one thread at a time.
class ParallelContentWriter {
  public:
    // `jobs` generators and `writers` writer threads per file, both at least 1; the run's
    // `hooks` (null: none) outlive the writer.
    ParallelContentWriter(size_t jobs, size_t writers, const base::Hooks* hooks);

    // Writes the file that `header` describes into `temp` and returns its FileId. Written bytes
    // are counted on `tracker` by the writer that wrote them. Every thread has ended when this
    // returns; a fault of any of them is raised again here.
    std::expected<format::FileId, GenerateError> write(const base::TempFile& temp,
                                                       const format::Header& header,
                                                       store::ProgressTracker& tracker);

  private:
    std::vector<base::PageBuffer> pool_buffers(size_t count, size_t length);

    size_t jobs_;
    size_t writers_;
    const base::Hooks* hooks_;
    std::vector<base::PageBuffer> spare_;  // the previous file's buffers
};

}  // namespace kro::gen
