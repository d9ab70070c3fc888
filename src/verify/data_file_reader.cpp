#include "verify/data_file_reader.hpp"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/errors/panic.hpp"
#include "base/fs/file_io.hpp"
#include "format/file_id.hpp"
#include "verify/verify_error.hpp"

namespace kro::verify {
namespace {

using format::FILE_BLOCK_SIZE;

// Direct reads move whole device blocks at aligned offsets; 4 KiB is a multiple of every
// common device's.
constexpr uint64_t DIRECT_ALIGNMENT = 4096;

// Only a file of at least this much is read directly: below it, the page cache's read-ahead
// serves as well, and no mode is switched.
constexpr uint64_t DIRECT_MIN = 2 * FILE_BLOCK_SIZE;

// A ring of asynchronous reads serves only files of several blocks.
constexpr uint64_t READ_AHEAD_MIN = 2 * FILE_BLOCK_SIZE;

uint64_t round_up(uint64_t n, uint64_t unit) {
    return (n + unit - 1) / unit * unit;
}

// Switches `fd` to direct reads; false where the file system refuses them.
bool enter_direct(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_DIRECT) == 0;
}

}  // namespace

DataFileReader::DataFileReader(const VerifyRun& run, const base::FileForReading& file, uint64_t lanes,
                               WorkerScratch& scratch)
    : run_(run),
      fd_(file.fd.get()),
      actual_len_(static_cast<uint64_t>(file.metadata.st_size)),
      lanes_(lanes),
      scratch_(scratch),
      progress_(run.tracker, actual_len_),
      storage_(fd_, !file.is_regular() || scratch.storage_check.memory_is_storage(fd_, file.metadata.st_dev),
               run.hooks) {
    if (storage_.from_storage() && run.direct_reads && actual_len_ >= DIRECT_MIN && enter_direct(fd_))
        direct_.store(true, std::memory_order_release);
}

std::expected<std::span<const uint8_t>, base::IoError> DataFileReader::read_header() {
    if (fd_ < 0) return header_bytes();
    std::expected<size_t, base::IoError> got;
    if (direct()) {
        // One device block, aligned, from the start of the file.
        base::PageBuffer& aligned = scratch_.expected;
        if (aligned.size() < DIRECT_ALIGNMENT) aligned.resize(DIRECT_ALIGNMENT);
        got = read_direct(aligned.span().first(DIRECT_ALIGNMENT), 0);
        if (!got && got.error().code() == EINVAL) leave_direct();
        if (got)
            std::memcpy(header_bytes_.data(), aligned.data(), std::min<size_t>(*got, format::HEADER_LEN));
        if (got) got = std::min<size_t>(*got, format::HEADER_LEN);
    }
    if (!direct()) got = base::read_at_full(fd_, header_bytes_, 0, run_.hooks);
    if (!got) return std::unexpected(std::move(got.error()));
    header_len_ = *got;
    if (header_len_ < std::min<uint64_t>(format::HEADER_LEN, actual_len_))
        return std::unexpected(changed_while_read("file"));
    if (header_len_ > 0) progress_.advance(header_len_);
    return header_bytes();
}

void DataFileReader::accept_header(const format::Header& header) {
    header_ = header;
    // The v2 hash is bound by its one hashing thread, and its reads start just past the header.
    if (header.version() != format::FormatVersion::V3) leave_direct();
}

std::expected<size_t, base::IoError> DataFileReader::read(std::span<uint8_t> buffer, uint64_t offset) const {
    if (direct()) leave_direct();
    if (!storage_.from_storage()) return base::read_at_full(fd_, buffer, offset, run_.hooks);
    return base::read_at_full_uncached(fd_, buffer, offset, run_.hooks);
}

size_t DataFileReader::request_len(uint64_t index) const {
    const uint64_t len = format::file_block_len(actual_len_, index);
    return static_cast<size_t>(direct() ? round_up(len, DIRECT_ALIGNMENT) : len);
}

std::expected<std::span<const uint8_t>, base::IoError> DataFileReader::read_block(
    uint64_t index, std::span<uint8_t> slot) const {
    const bool was_direct = direct();
    const auto want = slot.first(request_len(index));
    const uint64_t offset = index * FILE_BLOCK_SIZE;
    auto got = was_direct ? read_direct(want, offset) : base::read_at_full(fd_, want, offset, run_.hooks);
    return complete_block(index, slot, std::move(got), was_direct);
}

std::expected<std::span<const uint8_t>, base::IoError> DataFileReader::complete_block(
    uint64_t index, std::span<uint8_t> slot, std::expected<size_t, base::IoError> got, bool direct) const {
    const uint64_t offset = index * FILE_BLOCK_SIZE;
    const auto len = static_cast<size_t>(format::file_block_len(actual_len_, index));
    if (!got && direct && got.error().code() == EINVAL) {
        // A file system that takes no direct reads after all: through the cache from now on.
        leave_direct();
        return read_block(index, slot);
    }
    if (!got) return std::unexpected(std::move(got.error()));
    size_t have = *got;
    // A read sent to the ring may stop short where a synchronous one would have gone on.
    if (have < len && have > 0) {
        auto rest = direct
                        ? (have % DIRECT_ALIGNMENT == 0
                               ? read_direct(slot.subspan(have, request_len(index) - have), offset + have)
                               : std::expected<size_t, base::IoError>(0))
                        : base::read_at_full(fd_, slot.subspan(have, len - have), offset + have, run_.hooks);
        if (!rest) return std::unexpected(std::move(rest.error()));
        have += *rest;
    }
    if (!direct && storage_.from_storage()) base::drop_behind(fd_, offset, have, run_.hooks);
    return std::span<const uint8_t>(slot.first(std::min(have, len)));
}

std::expected<size_t, base::IoError> DataFileReader::read_direct(std::span<uint8_t> slot,
                                                                 uint64_t offset) const {
    size_t done = 0;
    // A direct read stops short at the end of the file; it goes on only from an aligned offset,
    // where a direct read may start.
    while (done < slot.size()) {
        const ssize_t n = base::pread(run_.hooks, fd_, slot.data() + done, slot.size() - done, offset + done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(base::IoError::last_os_error());
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
        if (done % DIRECT_ALIGNMENT != 0) break;
    }
    return done;
}

void DataFileReader::leave_direct() const {
    const std::lock_guard lock(mode_);
    if (!direct_.load(std::memory_order_relaxed)) return;
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags >= 0) (void)::fcntl(fd_, F_SETFL, flags & ~O_DIRECT);
    direct_.store(false, std::memory_order_release);
}

const format::Header& DataFileReader::header() const {
    if (!header_) base::panic("a data file's header is read before its content");
    return *header_;
}

LaneBlocks::LaneBlocks(const DataFileReader& file, WorkerScratch& scratch)
    : file_(file),
      scratch_(scratch),
      large_(file.actual_len() >= READ_AHEAD_MIN),
      // A small file is read a block at a time into the worker's block buffer, as large as its
      // block: a worker that only ever sees small files keeps no more memory than that.
      slots_(large_ ? scratch.lane_buffers() : std::array<std::span<uint8_t>, 2>{}),
      // Nothing to overlap where memory is the storage; the hooks answer every read themselves.
      ring_(large_ && file.storage_.from_storage() && file.hooks() == nullptr ? scratch.read_ring()
                                                                              : nullptr) {}

LaneBlocks::~LaneBlocks() {
    if (in_flight_) (void)ring_->collect();
}

void LaneBlocks::fetch(uint64_t index) {
    if (pending_) base::panic("a lane fetches its next block once it has taken the one before");
    pending_ = index;
    in_flight_ = false;
    if (!slots_ || ring_ == nullptr) return;
    const std::span<uint8_t> slot = (*slots_)[next_slot_];
    sent_direct_ = file_.direct();
    in_flight_ =
        ring_->send(file_.fd_, slot.first(file_.request_len(index)), index * format::FILE_BLOCK_SIZE, index);
}

std::expected<std::span<const uint8_t>, base::IoError> LaneBlocks::take(uint64_t index) {
    if (pending_ != index) base::panic("a lane takes the block it fetched last");
    pending_.reset();
    if (!large_) {
        scratch_.block.resize(file_.request_len(index));
        return file_.read_block(index, scratch_.block);
    }
    if (!slots_) return std::unexpected(slots_.error());
    const std::span<uint8_t> slot = (*slots_)[next_slot_];
    next_slot_ ^= 1;
    if (!in_flight_) return file_.read_block(index, slot);
    in_flight_ = false;
    auto completion = ring_->collect();
    return file_.complete_block(index, slot, std::move(completion.read), sent_direct_);
}

}  // namespace kro::verify
