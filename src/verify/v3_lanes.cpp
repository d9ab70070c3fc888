#include "verify/v3_lanes.hpp"

#include <algorithm>
#include <atomic>
#include <utility>

#include "base/ordered_collector.hpp"
#include "base/thread_scope.hpp"

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
          leaves(std::move(leaves)) {}

    const int fd;
    const format::Header& header;
    const uint64_t actual_len;
    const uint64_t blocks;
    store::FileProgress* const progress;
    const base::Hooks* const hooks;

    std::atomic<uint64_t> next_block{0};
    std::atomic<bool> stop{false};
    std::vector<format::MerkleHash> leaves;
    std::atomic<bool> content_ok{true};
    std::atomic<uint64_t> finished{0};
    base::LowestError<base::IoError> error;
};

std::expected<V3BlockCheck, base::IoError> check_block(V3LaneState& state, uint64_t block,
                                                       ScratchPair& scratch) {
    if (auto injected = base::before_item(state.hooks, V3_LANE_STAGE, block)) {
        return std::unexpected(std::move(*injected));
    }
    return check_v3_block(state.fd, state.header, state.actual_len, block, scratch);
}

// One lane: claims blocks until none is left or a lane failed.
void v3_lane_worker(V3LaneState& state, ScratchPair& scratch) {
    while (!state.stop.load(std::memory_order_relaxed)) {
        const uint64_t block = state.next_block.fetch_add(1, std::memory_order_relaxed);
        if (block >= state.blocks) return;
        auto checked = check_block(state, block, scratch);
        if (!checked) {
            state.stop.store(true, std::memory_order_relaxed);
            state.error.record(block, std::move(checked.error()));
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

// A lane whose fault stops the others from claiming; the fault itself goes on, to the thread
// scope or up the calling thread.
void run_lane(V3LaneState& state, ScratchPair& scratch) {
    try {
        v3_lane_worker(state, scratch);
    } catch (...) {
        state.stop.store(true, std::memory_order_relaxed);
        throw;
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
    {
        base::ThreadScope scope(hooks, V3_LANE_STAGE);
        const uint64_t extra = std::min(lanes, blocks) - 1;
        for (uint64_t k = 0; k < extra; ++k) {
            const bool started = scope.spawn([&state] {
                ScratchPair own;
                run_lane(state, own);
            });
            if (!started) break;
        }
        // Should this lane fault, the scope still joins every other lane before the fault leaves.
        run_lane(state, scratch);
        scope.join_and_rethrow();
    }
    if (auto error = state.error.take()) return std::unexpected(std::move(*error));
    if (state.finished.load(std::memory_order_relaxed) != blocks) {
        return std::unexpected(base::IoError::with_message(
            base::IoErrorKind::UnexpectedEof, "v3 verification ended before every block was hashed"));
    }
    return V3FileCheck{format::merkle_file_id(std::move(state.leaves), actual_len),
                       state.content_ok.load(std::memory_order_relaxed)};
}

}  // namespace kro::verify
