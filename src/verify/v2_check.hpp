#pragma once
// The v2 file ID: BLAKE2b-160 over the whole file. One lane reads the file forward on the calling
// thread into the worker's block buffer. More lanes add reader threads: R scoped readers claim
// 1 MiB blocks of the body after the header, read them positionally into buffers of a pool of Q
// and send them to the calling thread, which feeds them to the hasher strictly in block order.
// The pool bounds the memory in flight to Q blocks however far the readers run ahead. The first
// failing reader cancels the stage; the error of the lowest failing block wins; a fault of a
// reader is raised again on the calling thread once every reader has ended.

#include <cstdint>
#include <expected>
#include <span>

#include "base/errors/io_error.hpp"
#include "base/hooks.hpp"
#include "format/file_id.hpp"
#include "store/progress.hpp"
#include "verify/worker_scratch.hpp"

namespace kro::verify {

// How one file is split: `blocks` body blocks from offset `start`, `readers` reader threads and
// `buffers` pooled block buffers.
struct V2ReadPlan {
    uint64_t start;
    uint64_t body;
    uint64_t blocks;
    uint64_t readers;
    uint64_t buffers;

    friend bool operator==(const V2ReadPlan&, const V2ReadPlan&) = default;
};

// The v2 ID of a file of `actual_len` bytes whose header bytes (already read) are `header_bytes`,
// over `lanes` (at least 1) lanes; `progress` is advanced by the body bytes read. Bytes other than
// `actual_len` mean the file changed while it was read (an unexpected-end-of-file error).
std::expected<format::FileId, base::IoError> hash_v2_file(int fd, std::span<const uint8_t> header_bytes,
                                                          uint64_t actual_len, uint64_t lanes,
                                                          WorkerScratch& scratch,
                                                          store::FileProgress& progress,
                                                          const base::Hooks* hooks);

// The plan for a file of `actual_len` bytes whose first `header_len` bytes are hashed already,
// with `lanes` (>= 2) lanes: R = min(lanes - 1, blocks), Q = min(4 R, blocks).
V2ReadPlan plan_v2_read(uint64_t header_len, uint64_t actual_len, uint64_t lanes);

// The v2 ID of a file of `actual_len` bytes whose header bytes (already read) are `header_bytes`,
// with `lanes` (>= 2) lanes: the calling thread hashes, the others read. `progress`, when given,
// is advanced by the body bytes read. A block that reads short means the file changed while it was
// read (an unexpected-end-of-file error).
std::expected<format::FileId, base::IoError> hash_v2_parallel(int fd, std::span<const uint8_t> header_bytes,
                                                              uint64_t actual_len, uint64_t lanes,
                                                              store::FileProgress* progress,
                                                              const base::Hooks* hooks = nullptr);

// Reads `length` bytes from `start` on, in `blocks` blocks of 1 MiB, and feeds them to `hasher`
// in order on the calling thread: the fallback when no reader could be started.
std::expected<void, base::IoError> hash_range_sequential(int fd, format::V2FileIdHasher& hasher,
                                                         uint64_t start, uint64_t length, uint64_t blocks);

}  // namespace kro::verify
