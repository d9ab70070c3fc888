#include "base/fs/dir_entries.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "base/fd.hpp"

namespace kro::base {
namespace {

// Room for a few hundred entries per call: one call lists a shard directory.
constexpr std::size_t LISTING_CHUNK = 32768;

std::expected<EntryKind, base::IoError> kind_of(unsigned char type, int dir_fd, const char* name) {
    switch (type) {
        case DT_DIR:
            return EntryKind::Directory;
        case DT_LNK:
            return EntryKind::Symlink;
        case DT_UNKNOWN:
            break;
        default:
            return EntryKind::Other;
    }
    struct stat st {};
    if (::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return std::unexpected(base::IoError::last_os_error());
    if (S_ISDIR(st.st_mode)) return EntryKind::Directory;
    if (S_ISLNK(st.st_mode)) return EntryKind::Symlink;
    return EntryKind::Other;
}

// The listed directory joined with one name: a separator only where the text lacks one.
std::filesystem::path joined(const std::string& dir, std::string_view name) {
    std::string text;
    text.reserve(dir.size() + 1 + name.size());
    text = dir;
    if (!text.empty() && text.back() != '/') text.push_back('/');
    text.append(name);
    return std::filesystem::path(std::move(text));
}

// The system call underneath readdir, without the metadata call that opendir adds: a store walk
// lists one directory per file or more.
std::expected<std::vector<DirEntry>, base::IoError> list(int fd, const std::filesystem::path& dir) {
    alignas(8) std::array<std::byte, LISTING_CHUNK> chunk;
    std::vector<DirEntry> entries;
    while (true) {
        const ssize_t got = ::getdents64(fd, chunk.data(), chunk.size());
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(base::IoError::last_os_error());
        }
        if (got == 0) break;
        for (size_t at = 0; at < static_cast<size_t>(got);) {
            const auto* record = reinterpret_cast<const dirent64*>(chunk.data() + at);
            at += record->d_reclen;
            const std::string_view name(record->d_name);
            if (name == "." || name == "..") continue;
            const auto kind = kind_of(record->d_type, fd, record->d_name);
            if (!kind) return std::unexpected(kind.error());
            entries.push_back(DirEntry{joined(dir.native(), name), *kind});
        }
    }
    return entries;
}

// Lists a directory just opened; a failed open is the listing's failure.
std::expected<std::vector<DirEntry>, base::IoError> list_opened(const base::UniqueFd& fd,
                                                                const std::filesystem::path& dir) {
    if (!fd.valid()) return std::unexpected(base::IoError::last_os_error());
    return list(fd.get(), dir);
}

}  // namespace

std::expected<std::vector<DirEntry>, base::IoError> read_dir_entries(const std::filesystem::path& dir) {
    // An empty path is the working directory, as it is for the store root; the listed paths are
    // then the bare names.
    const char* opened = dir.empty() ? "." : dir.c_str();
    return list_opened(base::UniqueFd(::open(opened, O_RDONLY | O_DIRECTORY | O_CLOEXEC)), dir);
}

std::expected<std::vector<DirEntry>, base::IoError> read_open_dir_entries(int dir_fd,
                                                                          const std::filesystem::path& dir) {
    return list(dir_fd, dir);
}

std::string owned_file_name(std::filesystem::path path) {
    std::string text = std::move(path).native();
    // Trailing separators and "." components name no file of their own: "a/b/" and "a/b/." both
    // end in "b".
    std::string_view rest(text);
    while (true) {
        while (rest.size() > 1 && rest.back() == '/') rest.remove_suffix(1);
        if (rest.size() >= 2 && rest.ends_with("/.")) {
            rest.remove_suffix(2);
            continue;
        }
        break;
    }
    const size_t slash = rest.rfind('/');
    const std::string_view last = slash == std::string_view::npos ? rest : rest.substr(slash + 1);
    if (last.empty() || last == "." || last == "..") return text;
    return std::string(last);
}

}  // namespace kro::base
