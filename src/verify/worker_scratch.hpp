#pragma once
// The reusable buffers of one verification worker: the block buffer (bytes as read) and the
// expected buffer (regenerated content), plus the content sponge that refills the latter. A
// worker lends its pair to every file it verifies, so hashing and comparing allocate nothing per
// file. Both buffers are page-aligned: the kernel copies every block read into the block buffer.
// It also remembers what kind of file system the last file was on. Owned and used by one thread.

#include "base/page_buffer.hpp"
#include "base/page_cache.hpp"
#include "format/digest.hpp"

namespace kro::verify {

struct ScratchPair {
    base::PageBuffer block;
    base::PageBuffer expected;
    format::Shake128 sponge;
    base::MemoryStorageCheck storage_check;
};

}  // namespace kro::verify
