#pragma once
// Content files for the command tests: small stores made by the generator, the file ID of any
// bytes, and plain file helpers.

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "format/file_id.hpp"
#include "format/header.hpp"

namespace kro::test {

namespace fs = std::filesystem;

// A fresh directory under the system's temporary directory, removed with everything in it.
// Its path is canonical, so that it compares equal to what the current directory reports.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

// The ID of a file of the given version holding exactly `bytes`.
format::FileId file_id_of(std::span<const uint8_t> bytes, format::FormatVersion version);

// One content file of a generated store, with its header fields as read back.
struct StoredFile {
    fs::path path;
    format::FileId id;
    format::FileId parent;
    format::ContentSeed seed;
    std::vector<uint8_t> bytes;
};

// Generates `files` linked files of `length` bytes each into the store under `root` and
// returns the last one (whose parent is the one before it, or none for a single file).
StoredFile generate_store(const fs::path& root, format::FormatVersion version, uint64_t length,
                          uint64_t files);

std::vector<uint8_t> read_file(const fs::path& path);
void write_file(const fs::path& path, std::span<const uint8_t> bytes);

}  // namespace kro::test
