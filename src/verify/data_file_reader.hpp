#pragma once
// One data file as every check of it reads it, and the only way they read it: the open
// descriptor, its length, its header (the bytes as read, and the header they parse to), the lanes
// it may use, the calling thread's worker scratch, its progress and the run. verify_file makes one
// per file it opens; the v2 check, the v3 check and the corruption analysis take it.
//
// It decides once how the file is read from the storage. On a disk, the file's dirty pages are
// written back and its cached ones dropped when the reader is made (what is read is then what
// reached the device), each read asks the storage for what follows it while the caller regenerates,
// compares and hashes what it got, the pages of each block are dropped once read, and the rest
// when the reader goes. On a file system whose memory is its storage nothing of that is asked.
// Every read and every piece of advice goes through the run's hooks.
//
// Reads are thread-safe: the lanes of a file share its reader. The scratch belongs to the calling
// thread's lane alone. Lives inside verify_file, no longer than the descriptor; not movable.

#include <array>
#include <atomic>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>

#include "base/errors/io_error.hpp"
#include "base/fs/page_cache.hpp"
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
    void accept_header(const format::Header& header) { header_ = header; }

    // Reads [offset, offset + buffer.size()) from the storage; fewer bytes only where the file
    // ends. Keeps the storage fetching what follows while the caller works on what it got.
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
    // Asks the storage for what follows `end`, each byte once, a fixed distance ahead.
    void fetch_after(uint64_t end) const;

    const VerifyRun& run_;
    const int fd_;
    const uint64_t actual_len_;
    const uint64_t lanes_;
    WorkerScratch& scratch_;
    mutable store::FileProgress progress_;
    const base::StorageReading storage_;
    std::array<uint8_t, format::HEADER_LEN> header_bytes_{};
    size_t header_len_ = 0;
    std::optional<format::Header> header_;
    // Where the storage has been asked for everything before: the fetch frontier of all lanes.
    mutable std::atomic<uint64_t> fetched_{0};
};

}  // namespace kro::verify
