#pragma once
// The v2 file ID: BLAKE2b-160 over the whole file. One lane reads the file forward on the calling
// thread into the worker's block buffer. More lanes add reader threads: R scoped readers claim
// 1 MiB blocks of the body after the header, read them positionally into buffers of a pool of Q
// and send them to the calling thread, which feeds them to the hasher strictly in block order.
// The pool bounds the memory in flight to Q blocks however far the readers run ahead. The first
// failing reader cancels the stage; the error of the lowest failing block wins; a fault of a
// reader is raised again on the calling thread once every reader has ended. All reads go through
// the file's reader.

#include <cstdint>
#include <expected>

#include "base/errors/io_error.hpp"
#include "format/file_id.hpp"
#include "verify/data_file_reader.hpp"

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

// The v2 ID of the file over the reader's lanes (at least 1): its header bytes as read, then its
// body. The body bytes read count as the file's progress. Bytes other than the file's length mean
// the file changed while it was read (an unexpected-end-of-file error).
std::expected<format::FileId, base::IoError> hash_v2_file(const DataFileReader& file);

// The plan for a file of `actual_len` bytes whose first `header_len` bytes are hashed already,
// with `lanes` (>= 2) lanes: R = min(lanes - 1, blocks), Q = min(4 R, blocks).
V2ReadPlan plan_v2_read(uint64_t header_len, uint64_t actual_len, uint64_t lanes);

}  // namespace kro::verify
