#include "gen/chain_tip.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>

#include "base/fd.hpp"
#include "base/fs/dir_entries.hpp"
#include "base/fs/file_io.hpp"
#include "base/fs/temp_file.hpp"
#include "format/hex.hpp"
#include "format/store_layout.hpp"

namespace kro::gen {
namespace {

namespace fs = std::filesystem;
using base::IoError;

using format::roots_path;

constexpr std::string_view CREATING_TIP_DIR = "creating the chain-tip directory";
constexpr std::string_view LOCKING_TIPS = "locking the chain-tip records";
constexpr std::string_view WRITING_MARKER = "writing the chain-tip marker";
constexpr std::string_view LISTING_TIPS = "listing the chain-tip markers";
constexpr std::string_view CREATING_AGGREGATE = "creating the aggregate temporary file";
constexpr std::string_view WRITING_AGGREGATE = "writing the aggregate";
constexpr std::string_view SYNCING_AGGREGATE = "syncing the aggregate";
constexpr std::string_view REPLACING_AGGREGATE = "replacing the aggregate";

std::span<const uint8_t> as_bytes(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

IoError not_a_regular_file() {
    return IoError::with_message(base::IoErrorKind::Other, "not a regular file");
}

// Opens the marker for writing, creating it when missing. O_NOFOLLOW refuses a link, O_NONBLOCK
// keeps a fifo from holding the run; whatever the open lets through is checked before truncating.
std::expected<void, IoError> touch_marker(int roots_fd, const char* name) {
    const base::UniqueFd fd(
        ::openat(roots_fd, name, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
    if (!fd.valid()) {
        // A link (ELOOP under O_NOFOLLOW), a fifo without reader or a socket (ENXIO), a directory.
        if (errno == ELOOP || errno == ENXIO || errno == EISDIR) return std::unexpected(not_a_regular_file());
        return std::unexpected(IoError::last_os_error());
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return std::unexpected(IoError::last_os_error());
    if (!S_ISREG(st.st_mode)) return std::unexpected(not_a_regular_file());
    if (st.st_size == 0) return {};
    // A hard link can name a file outside the store; a marker with content is emptied only when
    // this is its one name.
    if (st.st_nlink > 1)
        return std::unexpected(IoError::with_message(base::IoErrorKind::Other, "has other hard links"));
    if (::ftruncate(fd.get(), 0) != 0) return std::unexpected(IoError::last_os_error());
    return {};
}

}  // namespace

std::expected<ChainTipRecords, GenerateError> ChainTipRecords::enter(const base::Directory& root) {
    return io_step(CREATING_TIP_DIR, roots_path(root.path()),
                   [&]() -> std::expected<ChainTipRecords, IoError> {
                       auto meta = root.make_child(format::METADATA_DIR);
                       if (!meta) return std::unexpected(std::move(meta.error()));
                       auto roots = meta->make_child(format::ROOTS_DIR);
                       if (!roots) return std::unexpected(std::move(roots.error()));
                       return ChainTipRecords(std::move(*meta), std::move(*roots));
                   });
}

std::expected<base::UniqueFd, GenerateError> ChainTipRecords::lock() const {
    return io_step(LOCKING_TIPS, meta_.path(), [&] { return meta_.lock_exclusive(); });
}

std::expected<void, GenerateError> ChainTipRecords::record(const format::FileId& tip) const {
    const std::string name = tip.to_hex();
    return io_step(WRITING_MARKER, roots_.path() / name,
                   [&] { return touch_marker(roots_.fd(), name.c_str()); });
}

std::expected<AggregateDigest, GenerateError> ChainTipRecords::write_aggregate(
    base::TempFileRegistry* registry, const base::Hooks* hooks) const {
    auto digest = io_step(LISTING_TIPS, roots_.path(), [&]() -> std::expected<AggregateDigest, IoError> {
        auto entries = base::read_dir_entries_at(roots_.fd(), roots_.path());
        if (!entries) return std::unexpected(std::move(entries.error()));
        std::vector<std::string> names;
        names.reserve(entries->size());
        for (auto& entry : *entries) names.push_back(base::owned_file_name(std::move(entry.path)));
        return format::chain_tip_aggregate_of(names);
    });
    if (!digest) return digest;

    auto temp = io_step(CREATING_AGGREGATE, meta_.path(),
                        [&] { return base::create_unique_temp_file(meta_, "all.tmp-", hooks, registry); });
    if (!temp) return std::unexpected(std::move(temp.error()));
    std::array<char, 2 * AggregateDigest{}.size()> digits;
    const std::string_view hex = format::encode_hex_into(*digest, digits);
    if (auto written = base::write_all(temp->fd(), as_bytes(hex)); !written) {
        return std::unexpected(GenerateError::io(WRITING_AGGREGATE, temp->path(), written.error()));
    }
    if (::fsync(temp->fd()) != 0) {
        return std::unexpected(GenerateError::io(SYNCING_AGGREGATE, temp->path(), IoError::last_os_error()));
    }
    if (auto placed = std::move(*temp).persist_at(meta_.fd(), format::AGGREGATE_FILE.data()); !placed) {
        return std::unexpected(
            GenerateError::io(REPLACING_AGGREGATE, meta_.path() / format::AGGREGATE_FILE, placed.error()));
    }
    return digest;
}

}  // namespace kro::gen
