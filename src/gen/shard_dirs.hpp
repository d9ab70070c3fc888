#pragma once
// The shard directories of one generation run. Entering a content file's shard directory creates
// what is missing of its three levels, each relative to the level above and never through a
// symbolic link, and returns a descriptor of the last level for the rename that places the file.
// The run keeps the first level open (256 directories at most: it saves a tenth of the time of a
// run of small files) and remembers the leaves it has made, so that each directory is created or
// checked once per run. Used by one thread; the root must outlive it.

#include <array>
#include <cstdint>
#include <expected>
#include <unordered_set>

#include "base/errors/io_error.hpp"
#include "base/fd.hpp"
#include "base/fs/directory.hpp"
#include "format/file_id.hpp"

namespace kro::gen {

class ShardDirs {
  public:
    explicit ShardDirs(const base::Directory& root) : root_(root) {}

    // An O_PATH descriptor of the directory that holds `id`'s content file. Anything on the way
    // that is not a directory, a link included, fails with "Not a directory".
    std::expected<base::UniqueFd, base::IoError> enter(const format::FileId& id);

  private:
    std::expected<base::UniqueFd, base::IoError> enter_once(const format::FileId& id);
    bool release_first_level();
    std::expected<int, base::IoError> first_level(uint8_t byte);
    std::expected<base::UniqueFd, base::IoError> open_known_leaf(int first, const format::FileId& id);

    const base::Directory& root_;
    std::array<base::UniqueFd, 256> first_;
    std::unordered_set<uint32_t> made_;  // leaves by their three bytes
};

}  // namespace kro::gen
