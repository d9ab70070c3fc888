#include "verify/v3_check.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "base/errors/panic.hpp"
#include "base/parallel/parallel_stage.hpp"
#include "format/content.hpp"
#include "format/leaf_table.hpp"
#include "verify/stage_names.hpp"
#include "verify/verify_error.hpp"

namespace kro::verify {

using format::FILE_BLOCK_SIZE;
using format::HEADER_LEN;

namespace {

struct V3BlockCheck {
    format::MerkleHash leaf;
    bool equal;  // every compared byte of the block equals the regenerated content
};

// The bytes of block `block_index` (of `block_len` bytes) that count as progress: the header was
// counted when it was read.
uint64_t v3_block_progress_bytes(uint64_t block_index, uint64_t block_len) {
    if (block_index != 0) return block_len;
    return block_len > HEADER_LEN ? block_len - HEADER_LEN : 0;
}

// Checks block `block_index`, whose bytes as read are `bytes`: compares its content up to the
// declared length with the content regenerated into `scratch`, hashes its leaf and counts it as
// progress. A block that read short means the file changed while it was read (an
// unexpected-end-of-file error).
std::expected<V3BlockCheck, base::IoError> check_v3_block(const DataFileReader& file, uint64_t block_index,
                                                          std::span<const uint8_t> bytes,
                                                          WorkerScratch& scratch) {
    const uint64_t start = block_index * FILE_BLOCK_SIZE;
    const auto len = static_cast<size_t>(format::file_block_len(file.actual_len(), block_index));
    if (bytes.size() < len) return std::unexpected(changed_while_read("v3 file"));

    // Bytes past the declared length are never compared; they only enter the file ID.
    const format::Header& header = file.header();
    const uint64_t skip = block_index == 0 ? HEADER_LEN : 0;
    const uint64_t end = std::min(start + len, header.file_length());
    bool equal = true;
    if (start + skip < end) {
        const auto compared = static_cast<size_t>(end - start - skip);
        if (scratch.expected.size() < compared) scratch.expected.resize(compared);
        const auto expected = std::span(scratch.expected).first(compared);
        format::fill_content_block(scratch.sponge, format::FormatVersion::V3, header.seed(), block_index,
                                   expected);
        equal = std::memcmp(bytes.data() + skip, expected.data(), compared) == 0;
    }
    const uint64_t counted = v3_block_progress_bytes(block_index, len);
    if (counted > 0) file.progress().advance(counted);
    return V3BlockCheck{format::leaf_hash(block_index, bytes), equal};
}

// One lane: checks every block in order on the calling thread, the read of each next block going
// on while the current one is checked; `leaves` holds one zeroed leaf per block. The first failing
// block's error is returned at once.
std::expected<V3FileCheck, base::IoError> check_v3_blocks_in_order(const DataFileReader& file,
                                                                   std::vector<format::MerkleHash> leaves) {
    bool content_ok = true;
    LaneBlocks blocks(file, file.scratch());
    blocks.fetch(0);
    for (uint64_t b = 0; b < leaves.size(); ++b) {
        auto bytes = blocks.take(b);
        if (!bytes) return std::unexpected(std::move(bytes.error()));
        if (b + 1 < leaves.size()) blocks.fetch(b + 1);
        auto checked = check_v3_block(file, b, *bytes, file.scratch());
        if (!checked) return std::unexpected(std::move(checked.error()));
        leaves[b] = checked->leaf;
        content_ok = content_ok && checked->equal;
    }
    return V3FileCheck{format::merkle_file_id(std::move(leaves), file.actual_len()), content_ok};
}

// What the lanes of one file share while they run.
struct V3LaneState {
    V3LaneState(const DataFileReader& file, std::vector<format::MerkleHash> leaves)
        : file(file), blocks(leaves.size()), leaves(std::move(leaves)), stage(file.hooks(), V3_LANE) {}

    const DataFileReader& file;
    const uint64_t blocks;
    std::atomic<uint64_t> next_block{0};
    std::vector<format::MerkleHash> leaves;
    std::atomic<bool> content_ok{true};
    std::atomic<uint64_t> finished{0};
    base::ParallelStage<base::IoError> stage;
};

// The next block for a lane, unless none is left or the stage was cancelled.
std::optional<uint64_t> claim_block(V3LaneState& state) {
    if (state.stage.cancelled()) return std::nullopt;
    const uint64_t block = state.next_block.fetch_add(1, std::memory_order_relaxed);
    if (block >= state.blocks) return std::nullopt;
    return block;
}

// One lane: claims blocks until none is left or the stage was cancelled. It claims its next block,
// and starts reading it, before it checks the current one; every block it claimed is checked,
// unless a block of its own before it failed.
void v3_lane(V3LaneState& state, WorkerScratch& scratch) {
    LaneBlocks blocks(state.file, scratch);
    std::optional<uint64_t> current = claim_block(state);
    if (current) blocks.fetch(*current);
    while (current) {
        const uint64_t block = *current;
        std::expected<V3BlockCheck, base::IoError> checked;
        if (auto injected = state.stage.before_item(block)) {
            checked = std::unexpected(std::move(*injected));
        } else if (auto bytes = blocks.take(block); !bytes) {
            checked = std::unexpected(std::move(bytes.error()));
        } else {
            current = claim_block(state);
            if (current) blocks.fetch(*current);
            checked = check_v3_block(state.file, block, *bytes, scratch);
        }
        if (!checked) {
            state.stage.fail(block, std::move(checked.error()));
            return;
        }
        // Each block has its own slot, and the join orders these writes before the tree is built.
        state.leaves[block] = checked->leaf;
        if (!checked->equal) state.content_ok.store(false, std::memory_order_relaxed);
        state.finished.fetch_add(1, std::memory_order_relaxed);
    }
}

// Many lanes, two or more: `leaves` holds one zeroed leaf per block; the calling thread's lane
// uses the reader's scratch, every extra lane scratch of its own.
std::expected<V3FileCheck, base::IoError> run_v3_lanes(const DataFileReader& file,
                                                       std::vector<format::MerkleHash> leaves) {
    V3LaneState state(file, std::move(leaves));
    const uint64_t blocks = state.blocks;
    // The calling thread is one of the lanes, with the scratch it was lent.
    state.stage.run(
        static_cast<size_t>(std::min(file.lanes(), blocks) - 1),
        [&state](size_t) {
            WorkerScratch own;
            v3_lane(state, own);
        },
        [&state](size_t) { v3_lane(state, state.file.scratch()); });
    if (auto error = state.stage.take_error()) return std::unexpected(std::move(*error));
    if (state.finished.load(std::memory_order_relaxed) != blocks) {
        return std::unexpected(base::IoError::with_message(
            base::IoErrorKind::UnexpectedEof, "v3 verification ended before every block was hashed"));
    }
    return V3FileCheck{format::merkle_file_id(std::move(state.leaves), file.actual_len()),
                       state.content_ok.load(std::memory_order_relaxed)};
}

}  // namespace

std::expected<V3FileCheck, base::IoError> verify_v3_file(const DataFileReader& file) {
    if (file.lanes() == 0) base::panic("a v3 file hash needs at least one lane");
    if (file.actual_len() < format::HEADER_LEN) {
        return std::unexpected(base::IoError::with_message(base::IoErrorKind::UnexpectedEof,
                                                           "a v3 file is shorter than its header"));
    }
    // One leaf per MiB of the real file; a sparse file can claim more than memory holds.
    auto leaves = format::allocate_leaf_table(format::v3_leaf_count(file.actual_len()));
    if (!leaves) return std::unexpected(std::move(leaves.error()));
    if (file.lanes() >= 2) return run_v3_lanes(file, std::move(*leaves));
    return check_v3_blocks_in_order(file, std::move(*leaves));
}

}  // namespace kro::verify
