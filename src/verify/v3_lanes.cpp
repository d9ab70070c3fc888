#include "verify/v3_lanes.hpp"

#include <algorithm>
#include <atomic>
#include <utility>

#include "base/parallel_stage.hpp"

namespace kro::verify {

namespace {

// What the lanes of one file share while they run.
struct V3LaneState {
    V3LaneState(int fd, const format::Header& header, uint64_t actual_len,
                std::vector<format::MerkleHash> leaves, store::FileProgress* progress,
                const base::Hooks* hooks)
        : fd(fd),
          header(header),
          actual_len(actual_len),
          blocks(leaves.size()),
          progress(progress),
          hooks(hooks),
          leaves(std::move(leaves)),
          stage(hooks, base::Stage::V3Lane) {}

    const int fd;
    const format::Header& header;
    const uint64_t actual_len;
    const uint64_t blocks;
    store::FileProgress* const progress;
    const base::Hooks* const hooks;

    std::atomic<uint64_t> next_block{0};
    std::vector<format::MerkleHash> leaves;
    std::atomic<bool> content_ok{true};
    std::atomic<uint64_t> finished{0};
    base::ParallelStage<base::IoError> stage;
};

std::expected<V3BlockCheck, base::IoError> check_block(V3LaneState& state, uint64_t block,
                                                       ScratchPair& scratch) {
    if (auto injected = base::before_item(state.hooks, base::Stage::V3Lane, block)) {
        return std::unexpected(std::move(*injected));
    }
    return check_v3_block(state.fd, state.header, state.actual_len, block, scratch);
}

// One lane: claims blocks until none is left or the stage was cancelled.
void v3_lane(V3LaneState& state, ScratchPair& scratch) {
    while (!state.stage.cancelled()) {
        const uint64_t block = state.next_block.fetch_add(1, std::memory_order_relaxed);
        if (block >= state.blocks) return;
        auto checked = check_block(state, block, scratch);
        if (!checked) {
            state.stage.fail(block, std::move(checked.error()));
            return;
        }
        const uint64_t counted =
            v3_block_progress_bytes(block, format::file_block_len(state.actual_len, block));
        if (state.progress != nullptr && counted > 0) state.progress->advance(counted);
        // Each block has its own slot, and the join orders these writes before the tree is built.
        state.leaves[block] = checked->leaf;
        if (!checked->equal) state.content_ok.store(false, std::memory_order_relaxed);
        state.finished.fetch_add(1, std::memory_order_relaxed);
    }
}

}  // namespace

std::expected<V3FileCheck, base::IoError> run_v3_lanes(int fd, const format::Header& header,
                                                       uint64_t actual_len, uint64_t lanes,
                                                       std::vector<format::MerkleHash> leaves,
                                                       ScratchPair& scratch, store::FileProgress* progress,
                                                       const base::Hooks* hooks) {
    V3LaneState state(fd, header, actual_len, std::move(leaves), progress, hooks);
    const uint64_t blocks = state.blocks;
    // The calling thread is one of the lanes, with the scratch it was lent.
    state.stage.run(
        static_cast<size_t>(std::min(lanes, blocks) - 1),
        [&state](size_t) {
            ScratchPair own;
            v3_lane(state, own);
        },
        [&state, &scratch](size_t) { v3_lane(state, scratch); });
    if (auto error = state.stage.take_error()) return std::unexpected(std::move(*error));
    if (state.finished.load(std::memory_order_relaxed) != blocks) {
        return std::unexpected(base::IoError::with_message(
            base::IoErrorKind::UnexpectedEof, "v3 verification ended before every block was hashed"));
    }
    return V3FileCheck{format::merkle_file_id(std::move(state.leaves), actual_len),
                       state.content_ok.load(std::memory_order_relaxed)};
}

}  // namespace kro::verify
