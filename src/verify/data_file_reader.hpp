#pragma once
// One data file as every check of it reads it, and the only way they read it: the open
// descriptor, its length, its header (the bytes as read, and the header they parse to), the lanes
// it may use, the calling thread's worker scratch, its progress and the run. verify_file makes one
// per file it opens; the v2 check, the v3 check and the corruption analysis take it.
//
// It decides once how the file is read from the storage. On a disk, the file's dirty pages are
// written back and its cached ones dropped when the reader is made, so that what is read is what
// reached the device. A large v3 file is then read directly from the device into the lanes' own
// buffers (O_DIRECT: no page cache, no copy), where the file system and the machine allow it;
// everything else goes through the page cache, the pages of each block dropped once read and the
// rest when the reader goes. On a file system whose memory is its storage nothing of that is
// asked. A lane reads its blocks through a LaneBlocks, which keeps the read of its next block
// going while it checks the current one. Every read and every piece of advice goes through the
// run's hooks.
//
// Reads are thread-safe: the lanes of a file share its reader. The scratch belongs to the calling
// thread's lane alone. Lives inside verify_file, no longer than the descriptor; not movable.

#include <array>
#include <atomic>
#include <cstdint>
#include <expected>
#include <mutex>
#include <optional>
#include <span>

#include "base/errors/io_error.hpp"
#include "base/fs/page_cache.hpp"
#include "base/fs/read_ring.hpp"
#include "base/fs/regular_file.hpp"
#include "format/header.hpp"
#include "store/progress.hpp"
#include "verify/verify_run.hpp"
#include "verify/worker_scratch.hpp"

namespace kro::verify {

class DataFileReader {
  public:
    // The file `file` (a regular file, or a stand-in that reads as empty) for `run`, to be checked
    // over `lanes` (at least 1) lanes, the calling thread's with `scratch`.
    DataFileReader(const VerifyRun& run, const base::FileForReading& file, uint64_t lanes,
                   WorkerScratch& scratch);
    DataFileReader(const DataFileReader&) = delete;
    DataFileReader& operator=(const DataFileReader&) = delete;

    // Reads the header bytes: fewer than 60 only when the file is shorter than that, none for a
    // stand-in. Counts them as progress. A header cut short of what the metadata promised means the
    // file changed while it was read (an unexpected-end-of-file error).
    std::expected<std::span<const uint8_t>, base::IoError> read_header();
    // The header the bytes parsed to; the checks compare the content with it. Called once, after
    // read_header and before any check.
    void accept_header(const format::Header& header);

    // Reads [offset, offset + buffer.size()) through the page cache; fewer bytes only where the
    // file ends. File blocks that a lane checks are read through LaneBlocks instead.
    std::expected<size_t, base::IoError> read(std::span<uint8_t> buffer, uint64_t offset) const;

    const format::Header& header() const;
    // The header bytes as read (60, once accepted).
    std::span<const uint8_t> header_bytes() const { return std::span(header_bytes_).first(header_len_); }
    // The file's length, as its metadata gave it when it was opened.
    uint64_t actual_len() const { return actual_len_; }
    uint64_t lanes() const { return lanes_; }
    WorkerScratch& scratch() const { return scratch_; }
    store::FileProgress& progress() const { return progress_; }
    const VerifyRun& run() const { return run_; }
    const base::Hooks* hooks() const { return run_.hooks; }

  private:
    friend class LaneBlocks;

    // Reads file block `index` into `slot` (a whole block's room, page-aligned): the bytes read,
    // fewer than the block's length only where the file ends.
    std::expected<std::span<const uint8_t>, base::IoError> read_block(uint64_t index,
                                                                      std::span<uint8_t> slot) const;
    // The bytes of block `index` that a read asks for: in direct mode the block rounded up to
    // whole device blocks.
    size_t request_len(uint64_t index) const;
    // What a read of block `index` that brought `got` of `slot` leaves: any rest read
    // synchronously, pages dropped behind, a refused direct read read again through the cache.
    std::expected<std::span<const uint8_t>, base::IoError> complete_block(
        uint64_t index, std::span<uint8_t> slot, std::expected<size_t, base::IoError> got, bool direct) const;
    // Reads `slot` at `offset` with direct reads, as far as they go; the descriptor is in direct mode.
    std::expected<size_t, base::IoError> read_direct(std::span<uint8_t> slot, uint64_t offset) const;
    bool direct() const { return direct_.load(std::memory_order_acquire); }
    // Puts the descriptor back to reads through the page cache, once, for every thread.
    void leave_direct() const;

    const VerifyRun& run_;
    const int fd_;
    const uint64_t actual_len_;
    const uint64_t lanes_;
    WorkerScratch& scratch_;
    mutable store::FileProgress progress_;
    const base::StorageReading storage_;
    mutable std::atomic<bool> direct_{false};
    mutable std::mutex mode_;  // held while the descriptor leaves direct mode
    std::array<uint8_t, format::HEADER_LEN> header_bytes_{};
    size_t header_len_ = 0;
    std::optional<format::Header> header_;
};

// The blocks one lane of a file reads, each read sent off before the block ahead of it is
// checked: the lane names the next block it will need, then works on the one it has. Reads of a
// large file go into the two block buffers of the lane's scratch; a small file's, with hooks, or
// where the kernel offers no ring of asynchronous reads, a block is read when it is taken. A read still in
// flight is waited for when the lane's blocks go. Owned and used by the lane's thread.
class LaneBlocks {
  public:
    LaneBlocks(const DataFileReader& file, WorkerScratch& scratch);
    LaneBlocks(const LaneBlocks&) = delete;
    LaneBlocks& operator=(const LaneBlocks&) = delete;
    ~LaneBlocks();

    // Starts reading block `index`, which the lane takes next; the block it took last stays as it
    // is until then.
    void fetch(uint64_t index);
    // Block `index`, the one fetched last: its bytes, fewer than the block's length only where the
    // file ended, or the read's error. They stay valid until the next block is taken.
    std::expected<std::span<const uint8_t>, base::IoError> take(uint64_t index);

  private:
    const DataFileReader& file_;
    WorkerScratch& scratch_;
    const bool large_;  // several blocks: two buffers of their own, and reads sent ahead
    std::expected<std::array<std::span<uint8_t>, 2>, base::IoError> slots_;
    base::ReadRing* ring_;  // null: every block is read when it is taken
    size_t next_slot_ = 0;
    std::optional<uint64_t> pending_;  // the block fetched and not yet taken
    bool in_flight_ = false;           // it was sent to the ring
    bool sent_direct_ = false;         // as a direct read
};

}  // namespace kro::verify
