#pragma once
// Content files for the command tests: small stores made by the generator or by the built kro,
// the file ID of any bytes, and plain file helpers. Every helper throws when the file system or
// kro refuses it.

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
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

// A v3 store of `files` files made by `kro gen` into `root`: each of the --file-size `size`,
// reproducible from the seed text.
void kro_gen_store(const fs::path& root, int files, std::string_view size, std::string_view seed);

std::vector<uint8_t> read_file(const fs::path& path);
// The file holds `bytes` and nothing else.
void write_file(const fs::path& path, std::span<const uint8_t> bytes);
void write_file(const fs::path& path, std::string_view bytes);
// `bytes` replace what the file holds from `offset` on, in place.
void overwrite(const fs::path& path, uint64_t offset, std::string_view bytes);
void append(const fs::path& path, std::string_view bytes);

}  // namespace kro::test
