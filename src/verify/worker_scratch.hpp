#pragma once
// The reusable state of one verification worker: the block buffer (bytes as read), the expected
// buffer (regenerated content), the content sponge that refills the latter, and what kind of file
// system the last file was on. A worker lends it to every file it verifies, so hashing and
// comparing allocate nothing per file. Both buffers are page-aligned: the kernel copies every
// block read into the block buffer. Owned and used by one thread.

#include "base/fs/page_cache.hpp"
#include "base/page_buffer.hpp"
#include "format/digest.hpp"

namespace kro::verify {

struct WorkerScratch {
    base::PageBuffer block;
    base::PageBuffer expected;
    format::Shake128 sponge;
    base::MemoryStorageCheck storage_check;
};

}  // namespace kro::verify
