#pragma once
// v3 verification of one file: every 1 MiB file block is read positionally, its content compared
// with the regenerated content stream up to the declared length and its leaf hashed; the leaves
// give the Merkle FileId. One lane checks the blocks in order on the calling thread. More lanes
// share them: the calling thread and up to lanes - 1 scoped threads claim blocks from one shared
// counter and store each leaf at its block index, so the Merkle ID and the content verdict equal
// those of one lane. The first failing lane stops the others from claiming; the error of the
// lowest failing block wins; a fault of any lane is raised again on the calling thread once every
// lane has ended. All reads go through the file's reader, which the lanes share.

#include <expected>

#include "base/errors/io_error.hpp"
#include "format/file_id.hpp"
#include "verify/data_file_reader.hpp"

namespace kro::verify {

struct V3FileCheck {
    format::FileId id;  // the Merkle ID over the file's actual bytes
    bool content_ok;    // every compared byte of every block equals the regenerated content
};

// The Merkle ID of the file and whether its content is sound, over min(lanes, blocks) of the
// reader's lanes. The calling thread's lane uses the reader's scratch, every extra lane scratch of
// its own; a lane that cannot be started leaves its blocks to the lanes already running. The
// content bytes read count as the file's progress. A block that reads short means the file
// changed while it was read (an unexpected-end-of-file error).
std::expected<V3FileCheck, base::IoError> verify_v3_file(const DataFileReader& file);

}  // namespace kro::verify
