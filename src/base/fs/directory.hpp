#pragma once
// A directory of the store that generation has entered: a descriptor of it and the path shown in
// messages. The root is the one place where a symbolic link is followed, because the user named
// it; every directory below it is created and entered relative to its parent's descriptor without
// following a link, and everything generation writes is created relative to such a descriptor.
// So a link planted anywhere below the root can never carry a write out of the store. Move-only;
// the descriptor is an O_PATH one, good as the directory argument of every *at call.

#include <expected>
#include <filesystem>
#include <string_view>

#include "base/errors/io_error.hpp"
#include "base/fd.hpp"

namespace kro::base {

class Directory {
  public:
    // Creates `path` with every missing ancestor (mode 0777 before the umask, links followed)
    // and enters it.
    static std::expected<Directory, base::IoError> create_root(const std::filesystem::path& path);
    // Enters an existing root, links followed.
    static std::expected<Directory, base::IoError> open_root(const std::filesystem::path& path);

    // Creates the subdirectory `name` unless it exists, and enters it. Anything there that is not
    // a directory, a symbolic link included, fails with "Not a directory".
    std::expected<Directory, base::IoError> make_child(std::string_view name) const;
    // Enters the existing subdirectory `name` on the same terms.
    std::expected<Directory, base::IoError> open_child(std::string_view name) const;

    // Whether this process may create, rename and remove entries here (write and search
    // permission, as its effective identity, on a file system mounted for writing).
    std::expected<void, base::IoError> may_write() const;

    int fd() const { return fd_.get(); }
    const std::filesystem::path& path() const { return path_; }

  private:
    Directory(base::UniqueFd fd, std::filesystem::path path) : fd_(std::move(fd)), path_(std::move(path)) {}

    base::UniqueFd fd_;
    std::filesystem::path path_;
};

// Creates `name` in the directory `parent_fd` unless it exists, and opens it as an O_PATH
// descriptor without following a link. Used where only the descriptor is wanted.
std::expected<base::UniqueFd, base::IoError> make_dir_at(int parent_fd, const char* name);
// Opens the existing directory `name` of `parent_fd` on the same terms.
std::expected<base::UniqueFd, base::IoError> open_dir_at(int parent_fd, const char* name);

}  // namespace kro::base
