#pragma once
// One directory's entries with the kind of each, as the listing reports it (symbolic links are
// never followed), and a path's file name as raw bytes.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <vector>

#include "base/errors/io_error.hpp"

namespace kro::base {

enum class EntryKind : uint8_t {
    Other = 0,  // regular file, fifo, socket, device: anything but a directory or a link
    Directory = 1,
    Symlink = 2,  // whatever it points to
};

struct DirEntry {
    std::filesystem::path path;  // the listed directory joined with the entry's name
    EntryKind kind;
};

// Every entry of `dir` except "." and "..", in the order the system returns them. Fails as a
// whole on the first error; never returns a partial list. An empty `dir` lists the working
// directory, each entry's path being its name.
std::expected<std::vector<DirEntry>, base::IoError> read_dir_entries(const std::filesystem::path& dir);
// The same for a directory already open for reading at `dir_fd`, from the descriptor's current
// position; the descriptor stays the caller's.
std::expected<std::vector<DirEntry>, base::IoError> read_open_dir_entries(int dir_fd,
                                                                          const std::filesystem::path& dir);

// The final component of `path` as raw bytes when it is a normal name, otherwise the whole
// path. No character-set conversion.
std::string owned_file_name(std::filesystem::path path);

}  // namespace kro::base
