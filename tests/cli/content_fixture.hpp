#pragma once
// Content files for the command tests: small stores made by the generator or by the built kro,
// and the file ID of any bytes. Every helper throws when the file system or kro refuses it.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/fd.hpp"
#include "format/file_id.hpp"
#include "format/header.hpp"
#include "support/scratch_dir.hpp"

namespace kro::test {

namespace fs = std::filesystem;

using testing::append;
using testing::overwrite;
using testing::read_file;
using testing::ScratchDir;
using testing::write_file;

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

// The content files of a store (every regular file outside .metadata), in byte order of their
// paths.
std::vector<fs::path> content_files(const fs::path& root);

// The names of the temporary content files (24 hex digits) in the store root; none when it
// cannot be read.
std::vector<std::string> temporary_files(const fs::path& root);

// What verify prints before its findings for the store shown as `shown_dir`.
std::string header_lines(std::string_view shown_dir, std::string_view chunk = "4,096");

// The last line verify prints.
inline constexpr std::string_view VERIFY_FAILED = "✗ Verification failed.\n";
inline constexpr std::string_view VERIFY_PASSED = "✓ All files successfully verified.\n";

// Generates `files` linked files of `length` bytes each into the store under `root` and
// returns the last one (whose parent is the one before it, or none for a single file).
StoredFile generate_store(const fs::path& root, format::FormatVersion version, uint64_t length,
                          uint64_t files);

// `levels` nested directories below `top`, the one at level k (from 0) named `name_of(k)`
// (by default 250 bytes of the letter k places after 'a'), made through descriptors because
// their path soon outgrows what the kernel resolves in one call. Returns the deepest one's path
// and leaves a descriptor of it in `deepest`.
fs::path make_deep_dirs(const fs::path& top, int levels, base::UniqueFd& deepest,
                        const std::function<std::string(int)>& name_of = {});

// A v3 store of `files` files made by `kro gen` into `root`: each of the --file-size `size`,
// reproducible from the seed text.
void kro_gen_store(const fs::path& root, int files, std::string_view size, std::string_view seed);

}  // namespace kro::test
