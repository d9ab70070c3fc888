#pragma once
// A uniquely named file created in a known directory, open for writing. It becomes a final file
// only through `persist_at`, a rename onto the final name; a TempFile that is dropped without
// `persist_at` is closed and unlinked, so a failed run leaves no temporary file behind.
// The file is named relative to a directory descriptor that generation entered (or to the
// working directory for a plain path), and the descriptor must outlive the TempFile. With a
// registry the file is on record from its creation until it is renamed or unlinked.
// Move-only; used by one thread at a time (the parallel writer shares its descriptor for
// positional writes).

#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

#include "base/errors/io_error.hpp"
#include "base/fd.hpp"
#include "base/fs/temp_file_registry.hpp"
#include "base/hooks.hpp"

namespace kro::base {

class Directory;

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

    // Closes the descriptor (through `hooks` when given) and returns what close() said: on some
    // network file systems the only report of a write that was lost. The file stays ours to
    // `persist_at` or to remove.
    std::expected<void, base::IoError> close(const Hooks* hooks = nullptr);

    // Closes the file (if still open) and renames it onto `name` in the directory `dir_fd`,
    // replacing whatever file is there; a link at `name` is replaced, never followed. On
    // failure the temporary file is unlinked and the rename's error returned.
    std::expected<void, base::IoError> persist_at(int dir_fd, const char* name) &&;

  private:
    friend std::expected<TempFile, base::IoError> create_unique_temp_file(const Directory& dir,
                                                                          std::string_view prefix,
                                                                          const Hooks* hooks,
                                                                          TempFileRegistry* registry);
    // `dir` is the path of the directory `dir_fd`, for messages.
    static std::expected<TempFile, base::IoError> create_in(int dir_fd, const std::filesystem::path& dir,
                                                            std::string_view prefix, const Hooks* hooks,
                                                            TempFileRegistry* registry);
    TempFile(int dir_fd, std::string name, std::filesystem::path path, base::UniqueFd fd,
             TempFileRegistry* registry)
        : dir_fd_(dir_fd),
          name_(std::move(name)),
          path_(std::move(path)),
          fd_(std::move(fd)),
          registry_(registry) {}

    int dir_fd_;        // borrowed
    std::string name_;  // relative to dir_fd_
    std::filesystem::path path_;
    base::UniqueFd fd_;
    TempFileRegistry* registry_;
    bool owns_name_ = true;  // the temporary name is still ours to remove
};

// Creates `prefix` followed by 8 random lower-case hex digits in `dir`, exclusively, mode 0666
// before the umask, on record in `registry` when one is given. A name that exists already, a
// link included, is skipped; after 16 such names in a row the call fails with kind
// AlreadyExists. The digits come from the operating system's random source, or from `hooks`
// when given; a failing source fails the call at once. `dir` must outlive the file.
std::expected<TempFile, base::IoError> create_unique_temp_file(const Directory& dir, std::string_view prefix,
                                                               const Hooks* hooks = nullptr,
                                                               TempFileRegistry* registry = nullptr);

}  // namespace kro::base
