#include "store/dir_entries.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>
#include <string_view>

namespace kro::store {
namespace {

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

std::expected<EntryKind, base::IoError> kind_of(const dirent& entry, const std::filesystem::path& path) {
    switch (entry.d_type) {
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
    if (::lstat(path.c_str(), &st) != 0) return std::unexpected(base::IoError::last_os_error());
    if (S_ISDIR(st.st_mode)) return EntryKind::Directory;
    if (S_ISLNK(st.st_mode)) return EntryKind::Symlink;
    return EntryKind::Other;
}

}  // namespace

std::expected<std::vector<DirEntry>, base::IoError> read_dir_entries(const std::filesystem::path& dir) {
    const std::unique_ptr<DIR, DirCloser> handle(::opendir(dir.c_str()));
    if (!handle) return std::unexpected(base::IoError::last_os_error());
    std::vector<DirEntry> entries;
    while (true) {
        errno = 0;
        const dirent* entry = ::readdir(handle.get());
        if (entry == nullptr) {
            if (errno != 0) return std::unexpected(base::IoError::last_os_error());
            break;
        }
        const std::string_view name(entry->d_name);
        if (name == "." || name == "..") continue;
        auto path = dir / name;
        const auto kind = kind_of(*entry, path);
        if (!kind) return std::unexpected(kind.error());
        entries.push_back(DirEntry{std::move(path), *kind});
    }
    return entries;
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

}  // namespace kro::store
