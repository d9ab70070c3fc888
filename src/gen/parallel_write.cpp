#include "gen/parallel_write.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "base/errors/panic.hpp"
#include "base/fs/file_io.hpp"
#include "base/parallel/buffer_pool.hpp"
#include "base/parallel/channel.hpp"
#include "base/parallel/ordered_collector.hpp"
#include "base/parallel/parallel_stage.hpp"
#include "format/digest.hpp"
#include "format/leaf_table.hpp"
#include "gen/content_block.hpp"

namespace kro::gen {
namespace {

using base::IoError;
using format::FILE_BLOCK_SIZE;
using format::FormatVersion;

constexpr std::string_view PREALLOCATING = "preallocating the content file";

// One produced block, shared by its writer and (v2) the hasher; the last reference to go
// returns the buffer to the pool.
struct FileBlock {
    base::PooledBuffer buffer;
    uint64_t index;
    uint64_t offset;

    std::span<const uint8_t> bytes() const { return buffer.buf(); }
};
using BlockRef = std::shared_ptr<const FileBlock>;

// The state one call shares between its threads. Each field that changes has its own guard and
// none is held while another is taken.
class ContentWriterState {
  public:
    // `leaves` has room for every v3 leaf, each stored by its block index; empty for v2.
    ContentWriterState(const ContentBlocks& blocks, std::vector<base::PageBuffer> buffers,
                       std::vector<format::MerkleHash> leaves, int fd, store::ProgressTracker& tracker,
                       const base::Hooks* hooks)
        : blocks_(blocks),
          pool_(std::move(buffers)),
          leaves_(std::move(leaves)),
          fd_(fd),
          tracker_(tracker),
          stage_(hooks, CONTENT_WRITER) {}

    // Generator loop. A buffer is taken before a block index is claimed, so every claimed block
    // can be built; a cancelled stage stops the loop.
    void generate_blocks(base::Sender<BlockRef> writers, std::optional<base::Sender<BlockRef>> hasher) {
        // Writers on other cores copy these blocks out, and the pool lends them again.
        format::Shake128 sponge(format::Shake128::Output::Shared);
        while (auto buffer = pool_.take(stage_.stop_token())) {
            const uint64_t index = next_block_.fetch_add(1, std::memory_order_relaxed);
            if (index >= blocks_.count()) break;
            auto block =
                std::make_shared<const FileBlock>(build_file_block(sponge, std::move(*buffer), index));
            if (blocks_.version() == FormatVersion::V3) {
                // Distinct indexes: no two threads touch the same leaf, and the reader waits
                // for every thread to be joined.
                leaves_[index] = format::leaf_hash(index, block->bytes());
                produced_.fetch_add(1, std::memory_order_relaxed);
            }
            if (!writers.send(block)) break;
            if (hasher && !hasher->send(std::move(block))) break;
        }
    }

    // Writer loop: writes every received block unless a block at or below it already failed.
    void write_blocks(base::Receiver<BlockRef> blocks) {
        while (auto block = blocks.recv()) {
            const FileBlock& b = **block;
            if (stage_.fails_at_or_below(b.index)) continue;
            if (auto written = write_block(b); !written) {
                // Every block below a recorded one was claimed before it, so it is still
                // written and its failure may replace the recorded one.
                stage_.fail(b.index, std::move(written.error()));
                continue;
            }
            tracker_.add_bytes(b.bytes().size());
        }
    }

    // The v2 FileId: blocks are fed to one hash strictly in index order. Nothing when the stream
    // ends before the last block.
    std::optional<format::FileId> hash_blocks_in_order(base::Receiver<BlockRef> blocks) {
        format::V2FileIdHasher hasher;
        base::OrderedCollector<BlockRef> in_order;
        while (in_order.next() < blocks_.count()) {
            auto block = blocks.recv();
            if (!block) return std::nullopt;
            const uint64_t index = (*block)->index;
            in_order.put(index, std::move(*block),
                         [&](uint64_t, BlockRef next) { hasher.update(next->bytes()); });
        }
        return hasher.finalize();
    }

    base::BufferPool& pool() { return pool_; }
    base::ParallelStage<IoError>& stage() { return stage_; }
    uint64_t produced() const { return produced_.load(std::memory_order_relaxed); }
    std::vector<format::MerkleHash> take_leaves() { return std::move(leaves_); }

  private:
    FileBlock build_file_block(format::Shake128& sponge, base::PooledBuffer buffer, uint64_t index) const {
        auto& bytes = buffer.buf();
        bytes.resize(static_cast<size_t>(blocks_.length(index)));
        blocks_.fill(sponge, index, bytes);
        return FileBlock{std::move(buffer), index, index * FILE_BLOCK_SIZE};
    }

    std::expected<void, IoError> write_block(const FileBlock& block) {
        if (auto refused = stage_.before_item(block.index)) {
            return std::unexpected(std::move(*refused));
        }
        // The kernel writes one file's page cache one writer at a time and lets the others spin
        // on its lock; waiting here instead leaves those cores to the generators.
        const std::lock_guard lock(write_mutex_);
        return base::write_all_at(fd_, block.bytes(), block.offset, stage_.hooks());
    }

    const ContentBlocks& blocks_;
    base::BufferPool pool_;
    std::vector<format::MerkleHash> leaves_;
    const int fd_;
    store::ProgressTracker& tracker_;

    std::atomic<uint64_t> next_block_{0};
    std::atomic<uint64_t> produced_{0};
    std::mutex write_mutex_;
    base::ParallelStage<IoError> stage_;
};

struct ThreadOutcome {
    std::optional<IoError> start_failure;
    std::optional<format::FileId> v2_digest;
};

// Runs the generators (the first `generators` workers), then the writers, and (v2) hashes on the
// calling thread. Every thread is needed: when one cannot start, the stage is cancelled and the
// start failure is the outcome. Returns after every started thread has ended, and raises the
// first fault of any of them.
ThreadOutcome run_write_threads(ContentWriterState& state, FormatVersion version, size_t generators,
                                size_t writers) {
    const bool v2 = version == FormatVersion::V2;
    auto [writer_tx, writer_rx] = base::unbounded_channel<BlockRef>();
    auto [hasher_tx, hasher_rx] = base::unbounded_channel<BlockRef>();
    std::optional<base::Sender<BlockRef>> to_hasher;
    if (v2) to_hasher = std::move(hasher_tx);
    hasher_tx.close();
    ThreadOutcome outcome;
    const size_t threads = generators + writers;
    // Each thread keeps only its own end of the channels, so that they close once the last
    // generator has ended.
    auto worker = [&state, generators, tx = std::move(writer_tx), rx = std::move(writer_rx),
                   to_hasher = std::move(to_hasher)](size_t k) mutable {
        if (k < generators) {
            rx.close();
            state.generate_blocks(std::move(tx), std::move(to_hasher));
        } else {
            tx.close();
            to_hasher.reset();
            state.write_blocks(std::move(rx));
        }
    };
    state.stage().run(threads, std::move(worker), [&, rx = std::move(hasher_rx)](size_t started) mutable {
        if (started < threads) {
            outcome.start_failure = IoError::from_errno(state.stage().spawn_error().value());
            state.stage().cancel();
        } else if (v2) {
            outcome.v2_digest = state.hash_blocks_in_order(std::move(rx));
        }
    });
    return outcome;
}

}  // namespace

ParallelContentWriter::ParallelContentWriter(size_t jobs, size_t writers, const base::Hooks* hooks)
    : jobs_(jobs), writers_(writers), hooks_(hooks) {}

std::vector<base::PageBuffer> ParallelContentWriter::pool_buffers(size_t count, size_t length) {
    std::vector<base::PageBuffer> buffers;
    buffers.reserve(count);
    while (buffers.size() < count && !spare_.empty()) {
        buffers.push_back(std::move(spare_.back()));
        spare_.pop_back();
    }
    while (buffers.size() < count) buffers.emplace_back();
    for (auto& buffer : buffers) buffer.resize(length);
    return buffers;
}

std::expected<format::FileId, GenerateError> ParallelContentWriter::write(const base::TempFile& temp,
                                                                          const format::Header& header,
                                                                          store::ProgressTracker& tracker) {
    const ContentBlocks blocks(header);
    const int fd = temp.fd();
    const auto fail = [&](std::string_view action, IoError cause) {
        return std::unexpected(GenerateError::io(action, temp.path(), std::move(cause)));
    };
    // Blocks are written in any order into a file that already has its final length.
    if (::ftruncate(fd, static_cast<off_t>(blocks.file_length())) != 0) {
        return fail(PREALLOCATING, IoError::last_os_error());
    }
    const size_t generators = static_cast<size_t>(std::min<uint64_t>(jobs_, blocks.count()));
    const size_t writer_count = static_cast<size_t>(std::min<uint64_t>(writers_, blocks.count()));
    const size_t buffer_count = static_cast<size_t>(
        std::min<uint64_t>(4 * uint64_t{generators} + 2 * uint64_t{writer_count}, blocks.count()));
    const auto buffer_length = static_cast<size_t>(std::min(blocks.file_length(), FILE_BLOCK_SIZE));
    std::vector<format::MerkleHash> leaves;
    if (blocks.version() == FormatVersion::V3) {
        auto table = format::allocate_leaf_table(blocks.count());
        if (!table) return fail(WRITING_CONTENT, table.error());
        leaves = std::move(*table);
    }
    ContentWriterState state(blocks, pool_buffers(buffer_count, buffer_length), std::move(leaves), fd,
                             tracker, hooks_);

    const ThreadOutcome outcome = run_write_threads(state, blocks.version(), generators, writer_count);
    // Every block has been dropped: all buffers are back for the next file.
    spare_ = state.pool().release_buffers();

    if (auto error = state.stage().take_error()) return fail(WRITING_CONTENT, std::move(*error));
    if (outcome.start_failure) return fail(WRITING_CONTENT, *outcome.start_failure);
    if (blocks.version() == FormatVersion::V3) {
        if (state.produced() != blocks.count()) {
            return fail(WRITING_CONTENT,
                        IoError::with_message(base::IoErrorKind::UnexpectedEof,
                                              "v3 generation ended before every block was produced"));
        }
        return format::merkle_file_id(state.take_leaves(), blocks.file_length());
    }
    if (!outcome.v2_digest) base::panic("the block stream ends early only after a cancellation");
    return *outcome.v2_digest;
}

}  // namespace kro::gen
