#include "gen/chain_tip.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>

#include "base/errors/panic.hpp"
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

// Enters `name` of `parent`; when it does not exist, creates it if `create`, and otherwise gives
// nothing.
std::expected<std::optional<base::Directory>, IoError> enter_child(const base::Directory& parent,
                                                                   std::string_view name, bool create) {
    auto child = create ? parent.make_child(name) : parent.open_child(name);
    if (child) return std::optional<base::Directory>(std::move(*child));
    if (!create && child.error().code() == ENOENT) return std::optional<base::Directory>();
    return std::unexpected(std::move(child.error()));
}

// `roots` open for reading, as listing it needs.
std::expected<base::UniqueFd, IoError> open_for_listing(int roots_fd) {
    base::UniqueFd fd(::openat(roots_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) return std::unexpected(IoError::last_os_error());
    return fd;
}

// Whether the file system of `dir` takes locks, asked through a descriptor of it open for reading;
// one that may not be read cannot be asked, and then the lock itself answers after the last file.
std::expected<bool, IoError> ask_about_locks(const base::Directory& dir) {
    const base::UniqueFd fd(::openat(dir.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) {
        if (errno == EACCES) return true;
        return std::unexpected(IoError::last_os_error());
    }
    return base::takes_locks(fd.get());
}

// A rename of a file replaces anything at `name` but a directory.
std::expected<void, IoError> replaceable_by_a_file(int dir_fd, const char* name) {
    struct stat st {};
    if (::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
        return std::unexpected(IoError::from_errno(EISDIR));
    return {};
}

}  // namespace

std::expected<std::optional<ChainTipRecords>, GenerateError> ChainTipRecords::open(
    const base::Directory& root, bool create) {
    const fs::path roots_at = roots_path(root.path());
    // Where the records do not exist yet, only whether the file system that will hold them takes
    // locks is left to ask.
    const auto not_yet =
        [&](const base::Directory& dir) -> std::expected<std::optional<ChainTipRecords>, GenerateError> {
        auto asked = io_step(LOCKING_TIPS, roots_at, [&] { return ask_about_locks(dir); });
        if (!asked) return std::unexpected(std::move(asked.error()));
        return std::nullopt;
    };
    auto meta =
        io_step(CREATING_TIP_DIR, roots_at, [&] { return enter_child(root, format::METADATA_DIR, create); });
    if (!meta) return std::unexpected(std::move(meta.error()));
    if (!*meta) return not_yet(root);
    const base::Directory& records = **meta;
    auto roots =
        io_step(CREATING_TIP_DIR, roots_at, [&] { return enter_child(records, format::ROOTS_DIR, create); });
    if (!roots) return std::unexpected(std::move(roots.error()));
    // `roots` is made in `.metadata`, and so is the aggregate's temporary file: whichever comes
    // first would meet a `.metadata` that cannot be written.
    const bool have_roots = roots->has_value();
    auto writable = io_step(have_roots ? CREATING_AGGREGATE : CREATING_TIP_DIR,
                            have_roots ? records.path() : roots_at, [&] { return records.may_write(); });
    if (!writable) return std::unexpected(std::move(writable.error()));
    auto replaceable = io_step(REPLACING_AGGREGATE, records.path() / format::AGGREGATE_FILE, [&] {
        return replaceable_by_a_file(records.fd(), format::AGGREGATE_FILE.data());
    });
    if (!replaceable) return std::unexpected(std::move(replaceable.error()));
    if (!have_roots) return not_yet(records);

    base::Directory& tips = **roots;
    auto listing = io_step(LISTING_TIPS, tips.path(), [&] { return open_for_listing(tips.fd()); });
    if (!listing) return std::unexpected(std::move(listing.error()));
    // Only whether locks work at all: the lock itself is taken after the last file.
    auto lockable = io_step(LOCKING_TIPS, tips.path(), [&] { return base::takes_locks(listing->get()); });
    if (!lockable) return std::unexpected(std::move(lockable.error()));
    if (auto ok = io_step(WRITING_MARKER, tips.path(), [&] { return tips.may_write(); }); !ok)
        return std::unexpected(std::move(ok.error()));
    return ChainTipRecords(std::move(**meta), std::move(tips), std::move(*listing));
}

std::expected<void, GenerateError> ChainTipRecords::check(const base::Directory& root) {
    auto opened = open(root, false);
    if (!opened) return std::unexpected(std::move(opened.error()));
    return {};
}

std::expected<ChainTipRecords, GenerateError> ChainTipRecords::enter(const base::Directory& root) {
    auto opened = open(root, true);
    if (!opened) return std::unexpected(std::move(opened.error()));
    if (!*opened) base::panic("created records directories exist");
    return std::move(**opened);
}

std::expected<base::FileLock, GenerateError> ChainTipRecords::lock() const {
    return io_step(LOCKING_TIPS, roots_.path(), [&] { return base::FileLock::exclusive(listing_.get()); });
}

std::expected<void, GenerateError> ChainTipRecords::record(const format::FileId& tip) const {
    const std::string name = tip.to_hex();
    return io_step(WRITING_MARKER, roots_.path() / name,
                   [&] { return touch_marker(roots_.fd(), name.c_str()); });
}

std::expected<AggregateDigest, GenerateError> ChainTipRecords::write_aggregate(
    base::TempFileRegistry* registry, const base::Hooks* hooks) const {
    auto digest = io_step(LISTING_TIPS, roots_.path(), [&]() -> std::expected<AggregateDigest, IoError> {
        auto entries = base::read_open_dir_entries(listing_.get(), roots_.path());
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
