#pragma once
// A uniquely named file created in a known directory, open for writing. It becomes a final file
// only through `persist`, a rename onto the final path; a TempFile that is dropped without
// being persisted is closed and unlinked, so a failed run leaves no temporary file behind.
// Move-only; used by one thread at a time (the parallel writer shares its descriptor for
// positional writes).

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <span>
#include <string_view>

#include "base/fd.hpp"
#include "base/io_error.hpp"

namespace kro::store {

// Where the random digits of temporary names come from (the operating system by default).
using RandomFill = std::function<std::expected<void, base::IoError>(std::span<uint8_t>)>;

class TempFile {
  public:
    TempFile(TempFile&& other) noexcept;
    TempFile& operator=(TempFile&&) = delete;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile();

    const std::filesystem::path& path() const { return path_; }
    // The open descriptor; a TempFile that is still being written always has one.
    int fd() const;

    // Closes the file and renames it onto `final_path`, replacing whatever file is there. On
    // failure the temporary file is unlinked and the rename's error returned.
    std::expected<void, base::IoError> persist(const std::filesystem::path& final_path) &&;

  private:
    friend std::expected<TempFile, base::IoError> create_unique_temp_file(const std::filesystem::path& dir,
                                                                          std::string_view prefix,
                                                                          const RandomFill& random);
    TempFile(std::filesystem::path path, base::UniqueFd fd) : path_(std::move(path)), fd_(std::move(fd)) {}

    std::filesystem::path path_;
    base::UniqueFd fd_;
    bool owns_name_ = true;  // the temporary name is still ours to remove
};

// Creates `dir`/`prefix` followed by 8 random lower-case hex digits, exclusively, mode 0666
// before the umask. A name that exists already is skipped; after 16 such names in a row the
// call fails with kind AlreadyExists. A failing random source fails the call at once.
std::expected<TempFile, base::IoError> create_unique_temp_file(const std::filesystem::path& dir,
                                                               std::string_view prefix);
std::expected<TempFile, base::IoError> create_unique_temp_file(const std::filesystem::path& dir,
                                                               std::string_view prefix,
                                                               const RandomFill& random);

}  // namespace kro::store
