#pragma once
// A fresh directory under the system's temporary directory, removed with everything in it
// when the test ends, and the plain file helpers every test executable shares. The helpers
// throw when the file system refuses them, so that a test fails at the step that broke.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace kro::testing {

// Its path is canonical, so that it compares equal to what the current directory reports.
class ScratchDir {
  public:
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kro-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = std::filesystem::canonical(pattern);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& rest) const { return path_ / rest; }

  private:
    std::filesystem::path path_;
};

inline std::span<const uint8_t> as_bytes(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// Every byte of the file, read in one go (some tests read files of several MiB).
inline std::vector<uint8_t> read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    std::vector<uint8_t> bytes(static_cast<size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return bytes;
}

// The file holds `bytes` and nothing else; missing parent directories are made.
inline void write_file(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

inline void write_file(const std::filesystem::path& path, std::string_view bytes) {
    write_file(path, as_bytes(bytes));
}

// `bytes` replace what the file holds from `offset` on, in place; they must not run past its end.
inline void overwrite(const std::filesystem::path& path, uint64_t offset, std::span<const uint8_t> bytes) {
    if (offset + bytes.size() > std::filesystem::file_size(path))
        throw std::runtime_error("overwrite past the end of " + path.string());
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open " + path.string());
    const ssize_t written = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    ::close(fd);
    if (written != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("cannot write " + path.string());
}

inline void overwrite(const std::filesystem::path& path, uint64_t offset, std::string_view bytes) {
    overwrite(path, offset, as_bytes(bytes));
}

inline void append(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot append to " + path.string());
}

inline void append(const std::filesystem::path& path, std::string_view bytes) {
    append(path, as_bytes(bytes));
}

}  // namespace kro::testing
