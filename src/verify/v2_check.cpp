#include "verify/v2_check.hpp"

#include <algorithm>
#include <atomic>
#include <expected>
#include <optional>
#include <span>
#include <utility>

#include "base/errors/panic.hpp"
#include "base/parallel/buffer_pool.hpp"
#include "base/parallel/channel.hpp"
#include "base/parallel/ordered_collector.hpp"
#include "base/parallel/parallel_stage.hpp"
#include "base/saturating.hpp"
#include "verify/stage_names.hpp"
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
    V2ReaderState(const DataFileReader& file, const V2ReadPlan& plan, base::BufferPool& pool)
        : file(file), plan(plan), pool(pool), stage(file.hooks(), V2_READER) {}

    const DataFileReader& file;
    const V2ReadPlan& plan;
    base::BufferPool& pool;
    std::atomic<uint64_t> next_block{0};
    base::ParallelStage<base::IoError> stage;
};

uint64_t block_len(uint64_t length, uint64_t block) {
    return std::min(length - block * FILE_BLOCK_SIZE, FILE_BLOCK_SIZE);
}

// Reads body block `block` of the length the metadata gave into `buffer`; one that reads short
// means the file changed.
std::expected<void, base::IoError> read_body_block(const DataFileReader& file, const V2ReadPlan& plan,
                                                   uint64_t block, std::span<uint8_t> buffer) {
    auto got = file.read(buffer, plan.start + block * FILE_BLOCK_SIZE);
    if (!got) return std::unexpected(std::move(got.error()));
    if (*got < buffer.size()) return std::unexpected(changed_while_read("v2 file"));
    return {};
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
        std::expected<void, base::IoError> read;
        if (auto injected = state.stage.before_item(block)) {
            read = std::unexpected(std::move(*injected));
        } else {
            read = read_body_block(state.file, state.plan, block, buffer->buf());
        }
        if (!read) {
            state.stage.fail(block, std::move(read.error()));
            return;
        }
        if (!buffer->buf().empty()) state.file.progress().advance(buffer->buf().size());
        if (!tx.send(ReaderMessage{block, std::move(*buffer)})) return;
    }
}

// The body in order on the calling thread, in the worker's block buffer: the fallback when no
// reader could be started.
std::expected<void, base::IoError> hash_blocks_in_order(const DataFileReader& file, const V2ReadPlan& plan,
                                                        format::V2FileIdHasher& hasher) {
    base::PageBuffer& buffer = file.scratch().block;
    for (uint64_t block = 0; block < plan.blocks; ++block) {
        buffer.resize(static_cast<size_t>(block_len(plan.body, block)));
        if (auto read = read_body_block(file, plan, block, buffer); !read) return read;
        hasher.update(buffer);
        file.progress().advance(buffer.size());
    }
    return {};
}

// BLAKE2b-160 of the header bytes already read and of everything that reads from there on until
// a read returns nothing. Bytes other than the length the metadata gave mean the file changed
// while it was read.
std::expected<format::FileId, base::IoError> hash_v2_sequential(const DataFileReader& file) {
    base::PageBuffer& block = file.scratch().block;
    if (block.size() < FILE_BLOCK_SIZE) block.resize(FILE_BLOCK_SIZE);
    format::V2FileIdHasher hasher;
    hasher.update(file.header_bytes());
    uint64_t offset = file.header_bytes().size();
    while (true) {
        auto got = file.read(block, offset);
        if (!got) return std::unexpected(std::move(got.error()));
        if (*got == 0) break;
        hasher.update(std::span(block).first(*got));
        file.progress().advance(*got);
        offset += *got;
    }
    if (offset != file.actual_len()) return std::unexpected(changed_while_read("v2 file"));
    return hasher.finalize();
}

// The calling thread hashes, the others read: lanes >= 2.
std::expected<format::FileId, base::IoError> hash_v2_parallel(const DataFileReader& file) {
    const V2ReadPlan plan = plan_v2_read(file.header_bytes().size(), file.actual_len(), file.lanes());
    format::V2FileIdHasher hasher;
    hasher.update(file.header_bytes());
    if (plan.blocks == 0) return hasher.finalize();

    base::BufferPool pool(static_cast<size_t>(plan.buffers), static_cast<size_t>(FILE_BLOCK_SIZE));
    V2ReaderState state(file, plan, pool);
    auto [tx, rx] = base::bounded_channel<ReaderMessage>(static_cast<size_t>(plan.buffers));
    std::expected<void, base::IoError> in_order;
    // The calling thread hashes the blocks in order as they come; with no reader started, it
    // reads them itself.
    state.stage.run(
        static_cast<size_t>(plan.readers),
        [&state, tx = std::move(tx)](size_t) mutable { v2_reader(state, tx); },
        [&, rx = std::move(rx)](size_t started) mutable {
            if (started == 0) {
                in_order = hash_blocks_in_order(file, plan, hasher);
                return;
            }
            // Blocks still waiting for their turn go back to the pool when this share ends.
            base::OrderedCollector<base::PooledBuffer> arrived;
            while (auto message = rx.recv()) {
                arrived.put(message->index, std::move(message->block),
                            [&hasher](uint64_t, base::PooledBuffer block) { hasher.update(block.buf()); });
            }
        });
    if (!in_order) return std::unexpected(std::move(in_order.error()));
    if (auto error = state.stage.take_error()) return std::unexpected(std::move(*error));
    return hasher.finalize();
}

}  // namespace

V2ReadPlan plan_v2_read(uint64_t header_len, uint64_t actual_len, uint64_t lanes) {
    if (lanes < 2) base::panic("parallel hashing needs a reader and a hasher");
    const uint64_t body = actual_len > header_len ? actual_len - header_len : 0;
    const uint64_t blocks = body / FILE_BLOCK_SIZE + (body % FILE_BLOCK_SIZE != 0 ? 1 : 0);
    const uint64_t readers = std::min(lanes - 1, blocks);
    return V2ReadPlan{header_len, body, blocks, readers, std::min(base::saturating_mul(4, readers), blocks)};
}

std::expected<format::FileId, base::IoError> hash_v2_file(const DataFileReader& file) {
    if (file.lanes() == 0) base::panic("a v2 file hash needs at least one lane");
    if (file.lanes() >= 2) return hash_v2_parallel(file);
    return hash_v2_sequential(file);
}

}  // namespace kro::verify
