#include "verify/data_file_reader.hpp"

#include <algorithm>

#include "base/errors/panic.hpp"
#include "base/fs/file_io.hpp"
#include "base/saturating.hpp"
#include "format/file_id.hpp"
#include "verify/verify_error.hpp"

namespace kro::verify {
namespace {

// How far past the end of each read the storage is asked to fetch: the read-ahead a device needs
// to stay busy while one block is regenerated, compared and hashed.
constexpr uint64_t FETCH_AHEAD = 4 * format::FILE_BLOCK_SIZE;

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
               run.hooks) {}

std::expected<std::span<const uint8_t>, base::IoError> DataFileReader::read_header() {
    if (fd_ < 0) return header_bytes();
    // Nothing is fetched ahead yet: the first read of the content follows at once.
    auto got = base::read_at_full(fd_, header_bytes_, 0, run_.hooks);
    if (!got) return std::unexpected(std::move(got.error()));
    header_len_ = *got;
    if (header_len_ < std::min<uint64_t>(format::HEADER_LEN, actual_len_))
        return std::unexpected(changed_while_read("file"));
    if (header_len_ > 0) progress_.advance(header_len_);
    return header_bytes();
}

std::expected<size_t, base::IoError> DataFileReader::read(std::span<uint8_t> buffer, uint64_t offset) const {
    if (!storage_.from_storage()) return base::read_at_full(fd_, buffer, offset, run_.hooks);
    fetch_after(base::saturating_add(offset, buffer.size()));
    return base::read_at_full_uncached(fd_, buffer, offset, run_.hooks);
}

void DataFileReader::fetch_after(uint64_t end) const {
    const uint64_t target = std::min(actual_len_, base::saturating_add(end, FETCH_AHEAD));
    uint64_t asked = fetched_.load(std::memory_order_relaxed);
    while (asked < target) {
        if (fetched_.compare_exchange_weak(asked, target, std::memory_order_relaxed)) {
            const uint64_t from = std::max(asked, end);
            if (from < target) base::fetch_ahead(fd_, from, target - from, run_.hooks);
            return;
        }
    }
}

const format::Header& DataFileReader::header() const {
    if (!header_) base::panic("a data file's header is read before its content");
    return *header_;
}

}  // namespace kro::verify
