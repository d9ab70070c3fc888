// `kro dev show`: reads one file's header and size, prints the listing and, on request, checks
// the file's identity against its path.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <array>
#include <system_error>
#include <vector>

#include "base/fd.hpp"
#include "base/fs/page_cache.hpp"
#include "base/fs/regular_file.hpp"
#include "base/page_buffer.hpp"
#include "base/path_display.hpp"
#include "cli/command_error.hpp"
#include "cli/commands.hpp"
#include "cli/dev/show.hpp"
#include "cli/output/color.hpp"
#include "cli/output/stream_writer.hpp"
#include "format/store_path.hpp"

namespace kro::cli {
namespace {

namespace fs = std::filesystem;
using base::IoError;

// The piece in which the file is hashed: one v3 leaf each.
constexpr size_t HASH_PIECE = format::FILE_BLOCK_SIZE;

CommandError reading_error(const fs::path& path, IoError cause) {
    return CommandError::with_cause(fmt::format("reading {}", base::display_path(path)), std::move(cause));
}

// A file opened for reading from the storage. Only a regular file is opened: a fifo, socket or
// device reads as empty, as in verification, so that none can act on being opened, stall the
// command or feed it without end.
class InspectedFile {
  public:
    explicit InspectedFile(base::FileForReading file)
        : file_(std::move(file)), storage_(file_.fd.get(), nullptr) {}
    // Reads on from where the last read ended, until `buffer` is full or the file ends.
    std::expected<size_t, IoError> read_full(std::span<uint8_t> buffer) {
        if (!file_.is_regular()) return 0;
        auto got = base::read_at_full_uncached(file_.fd.get(), buffer, offset_, nullptr);
        if (got) offset_ += *got;
        return got;
    }

  private:
    base::FileForReading file_;
    base::StorageReading storage_;
    uint64_t offset_ = 0;
};

std::expected<InspectedFile, IoError> open_for_reading(const fs::path& path) {
    auto file = base::open_regular_for_reading(path.c_str());
    if (!file) return std::unexpected(std::move(file.error().error));
    return InspectedFile(std::move(*file));
}

std::expected<format::RawHeader, CommandError> read_raw_header(const fs::path& path) {
    auto fd = open_for_reading(path);
    if (!fd) {
        return std::unexpected(CommandError::with_cause(fmt::format("opening {}", base::display_path(path)),
                                                        std::move(fd.error())));
    }
    format::HeaderBytes bytes{};
    const auto got = fd->read_full(bytes);
    if (!got) return std::unexpected(reading_error(path, got.error()));
    if (*got < bytes.size()) {
        return std::unexpected(CommandError::plain(
            fmt::format("File is too small to be a KRO file: expected at least {} bytes, got {}.",
                        format::HEADER_LEN, *got)));
    }
    return format::RawHeader(bytes);
}

std::expected<uint64_t, CommandError> file_size_of(const fs::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::unexpected(reading_error(path, IoError::last_os_error()));
    return static_cast<uint64_t>(st.st_size);
}

std::optional<fs::path> current_directory() {
    std::error_code ec;
    fs::path cwd = fs::current_path(ec);
    if (ec) return std::nullopt;
    return cwd;
}

// The file's ID over the bytes it holds now, whatever its header declares.
std::expected<format::FileId, CommandError> compute_file_id(const fs::path& path,
                                                            format::FormatVersion version) {
    auto fd = open_for_reading(path);
    if (!fd) return std::unexpected(reading_error(path, std::move(fd.error())));
    base::PageBuffer piece(HASH_PIECE);
    format::V2FileIdHasher v2;
    std::vector<format::MerkleHash> leaves;
    uint64_t total = 0;
    for (uint64_t index = 0;; ++index) {
        const auto got = fd->read_full(piece);
        if (!got) return std::unexpected(reading_error(path, got.error()));
        if (*got == 0) break;
        const std::span<const uint8_t> bytes(piece.data(), *got);
        if (version == format::FormatVersion::V3) {
            leaves.push_back(format::leaf_hash(index, bytes));
        } else {
            v2.update(bytes);
        }
        total += *got;
        if (*got < piece.size()) break;
    }
    if (version == format::FormatVersion::V2) return v2.finalize();
    // The header was read a moment ago; a file that has shrunk below it since has no v3 ID.
    if (total < format::HEADER_LEN) {
        return std::unexpected(reading_error(
            path, IoError::with_message(base::IoErrorKind::UnexpectedEof, "failed to fill whole buffer")));
    }
    return format::merkle_file_id(std::move(leaves), total);
}

}  // namespace

std::expected<uint8_t, CommandError> run_show(ShowArgs args) {
    const bool color = color_for_stream(STDOUT_FILENO);
    const fs::path& path = args.filepath;
    std::optional<format::FileId> path_id;
    if (auto parsed = format::parse_content_path(path)) path_id = *parsed;

    auto raw = read_raw_header(path);
    if (!raw) return std::unexpected(std::move(raw.error()));
    const auto size = file_size_of(path);
    if (!size) return std::unexpected(size.error());

    const ShowFacts facts{path, path_id, *raw, *size};
    StreamWriter out = StreamWriter::standard_output();
    out.write(render_listing(facts, parent_store_path(facts, current_directory()), color));
    if (!args.verify_checksum) {
        out.flush();
        return 0;
    }

    const auto version = facts.raw.format_version();
    if (!version) {
        out.write(render_unknown_identity(facts, color));
        out.flush();
        return 1;
    }
    // The listing goes out before the file is hashed, so that a read failure follows it.
    out.flush();
    const auto actual = compute_file_id(path, *version);
    if (!actual) return std::unexpected(actual.error());
    out.write(render_identity(facts, *version, *actual, color));
    out.flush();
    return identity_verdict(facts, *actual);
}

}  // namespace kro::cli
