#include "verify/v2_check.hpp"

#include <algorithm>
#include <atomic>
#include <expected>
#include <optional>
#include <utility>

#include "base/errors/panic.hpp"
#include "base/fs/page_cache.hpp"
#include "base/parallel/buffer_pool.hpp"
#include "base/parallel/channel.hpp"
#include "base/parallel/ordered_collector.hpp"
#include "base/parallel/parallel_stage.hpp"
#include "base/saturating.hpp"
#include "verify/verify_error.hpp"

namespace kro::verify {

using format::FILE_BLOCK_SIZE;

namespace {

// A block read by a reader.
struct ReaderMessage {
    uint64_t index;
    base::PooledBuffer block;
};

// What the readers of one file share.
struct V2ReaderState {
    V2ReaderState(int fd, const V2ReadPlan& plan, base::BufferPool& pool, store::FileProgress* progress,
                  const base::Hooks* hooks)
        : fd(fd),
          plan(plan),
          pool(pool),
          progress(progress),
          hooks(hooks),
          stage(hooks, base::Stage::V2Reader) {}

    const int fd;
    const V2ReadPlan& plan;
    base::BufferPool& pool;
    store::FileProgress* const progress;
    const base::Hooks* const hooks;
    std::atomic<uint64_t> next_block{0};
    base::ParallelStage<base::IoError> stage;
};

uint64_t block_len(uint64_t length, uint64_t block) {
    return std::min(length - block * FILE_BLOCK_SIZE, FILE_BLOCK_SIZE);
}

// Reads a block of the length the metadata gave; one that reads short means the file changed.
std::expected<size_t, base::IoError> read_whole_block(int fd, std::span<uint8_t> buffer, uint64_t offset) {
    auto got = base::read_at_full_uncached(fd, buffer, offset);
    if (got && *got < buffer.size()) return std::unexpected(changed_while_read("v2 file"));
    return got;
}

std::expected<size_t, base::IoError> read_block(V2ReaderState& state, uint64_t block,
                                                base::PageBuffer& buffer) {
    if (auto injected = base::before_item(state.hooks, base::Stage::V2Reader, block)) {
        return std::unexpected(std::move(*injected));
    }
    return read_whole_block(state.fd, buffer, state.plan.start + block * FILE_BLOCK_SIZE);
}

// One reader. It holds a buffer before it claims a block, so a claimed block always has a buffer
// and the hasher can always make progress.
void v2_reader(V2ReaderState& state, base::Sender<ReaderMessage>& tx) {
    while (true) {
        std::optional<base::PooledBuffer> buffer = state.pool.take(state.stage.stop_token());
        if (!buffer) return;
        const uint64_t block = state.next_block.fetch_add(1, std::memory_order_relaxed);
        if (block >= state.plan.blocks) return;
        buffer->buf().resize(block_len(state.plan.body, block));
        auto got = read_block(state, block, buffer->buf());
        if (!got) {
            state.stage.fail(block, std::move(got.error()));
            return;
        }
        if (*got > 0 && state.progress != nullptr) state.progress->advance(*got);
        if (!tx.send(ReaderMessage{block, std::move(*buffer)})) return;
    }
}

// BLAKE2b-160 of the header bytes already read and of everything that reads from there return
// until one returns nothing. Bytes other than the `actual_len` that the metadata gave mean the
// file changed while it was read.
std::expected<format::FileId, base::IoError> hash_v2_sequential(int fd, std::span<const uint8_t> header_bytes,
                                                                uint64_t actual_len, WorkerScratch& scratch,
                                                                store::FileProgress& progress,
                                                                const base::Hooks* hooks) {
    if (scratch.block.size() < FILE_BLOCK_SIZE) scratch.block.resize(FILE_BLOCK_SIZE);
    format::V2FileIdHasher hasher;
    hasher.update(header_bytes);
    uint64_t offset = header_bytes.size();
    while (true) {
        auto got = base::read_at_full_uncached(fd, scratch.block, offset, hooks);
        if (!got) return std::unexpected(std::move(got.error()));
        if (*got == 0) break;
        hasher.update(std::span(scratch.block).first(*got));
        progress.advance(*got);
        offset += *got;
    }
    if (offset != actual_len) return std::unexpected(changed_while_read("v2 file"));
    return hasher.finalize();
}

}  // namespace

V2ReadPlan plan_v2_read(uint64_t header_len, uint64_t actual_len, uint64_t lanes) {
    const uint64_t body = actual_len > header_len ? actual_len - header_len : 0;
    const uint64_t blocks = body / FILE_BLOCK_SIZE + (body % FILE_BLOCK_SIZE != 0 ? 1 : 0);
    const uint64_t readers = std::min(lanes - 1, blocks);
    return V2ReadPlan{header_len, body, blocks, readers, std::min(base::saturating_mul(4, readers), blocks)};
}

std::expected<void, base::IoError> hash_range_sequential(int fd, format::V2FileIdHasher& hasher,
                                                         uint64_t start, uint64_t length, uint64_t blocks) {
    base::PageBuffer buffer(static_cast<size_t>(std::min(length, FILE_BLOCK_SIZE)));
    for (uint64_t block = 0; block < blocks; ++block) {
        const auto piece = std::span(buffer).first(static_cast<size_t>(block_len(length, block)));
        auto got = read_whole_block(fd, piece, start + block * FILE_BLOCK_SIZE);
        if (!got) return std::unexpected(std::move(got.error()));
        hasher.update(piece);
    }
    return {};
}

std::expected<format::FileId, base::IoError> hash_v2_parallel(int fd, std::span<const uint8_t> header_bytes,
                                                              uint64_t actual_len, uint64_t lanes,
                                                              store::FileProgress* progress,
                                                              const base::Hooks* hooks) {
    if (lanes < 2) base::panic("parallel hashing needs a reader and a hasher");
    const V2ReadPlan plan = plan_v2_read(header_bytes.size(), actual_len, lanes);
    format::V2FileIdHasher hasher;
    hasher.update(header_bytes);
    if (plan.blocks == 0) return hasher.finalize();

    base::BufferPool pool(static_cast<size_t>(plan.buffers), static_cast<size_t>(FILE_BLOCK_SIZE));
    V2ReaderState state(fd, plan, pool, progress, hooks);
    auto [tx, rx] = base::bounded_channel<ReaderMessage>(static_cast<size_t>(plan.buffers));
    std::expected<void, base::IoError> sequential;
    // The calling thread hashes the blocks in order as they come; with no reader started, it
    // reads them itself.
    state.stage.run(
        static_cast<size_t>(plan.readers),
        [&state, tx = std::move(tx)](size_t) mutable { v2_reader(state, tx); },
        [&, rx = std::move(rx)](size_t started) mutable {
            if (started == 0) {
                sequential = hash_range_sequential(fd, hasher, plan.start, plan.body, plan.blocks);
                return;
            }
            // Blocks still waiting for their turn go back to the pool when this share ends.
            base::OrderedCollector<base::PooledBuffer> in_order;
            while (auto message = rx.recv()) {
                in_order.put(message->index, std::move(message->block),
                             [&hasher](uint64_t, base::PooledBuffer block) { hasher.update(block.buf()); });
            }
        });
    if (!sequential) return std::unexpected(std::move(sequential.error()));
    if (auto error = state.stage.take_error()) return std::unexpected(std::move(*error));
    return hasher.finalize();
}

std::expected<format::FileId, base::IoError> hash_v2_file(int fd, std::span<const uint8_t> header_bytes,
                                                          uint64_t actual_len, uint64_t lanes,
                                                          WorkerScratch& scratch,
                                                          store::FileProgress& progress,
                                                          const base::Hooks* hooks) {
    if (lanes >= 2) return hash_v2_parallel(fd, header_bytes, actual_len, lanes, &progress, hooks);
    return hash_v2_sequential(fd, header_bytes, actual_len, scratch, progress, hooks);
}

}  // namespace kro::verify
