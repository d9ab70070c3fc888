#pragma once
// The paths of the files that a store walk found, in file order. A store of millions of files
// holds this list for the whole run, so each path is kept once and compactly: every path's bytes
// in one block, each followed by a NUL so that it goes to the system as it is, plus one offset.
// That is the path's length plus nine bytes, where a std::filesystem::path costs hundreds in
// separate allocations for its components. Filled and sorted by one thread; afterwards
// read-only, and then safe to read from any number of threads.

#include <cstddef>
#include <filesystem>
#include <string_view>
#include <vector>

namespace kro::verify {

class FileList {
  public:
    // Appends a path; the list keeps the order of the calls until `sort`.
    void push_back(const std::filesystem::path& path);
    // Orders the paths by their bytes, as unsigned values; a path that is a prefix of another
    // comes first.
    void sort();

    size_t size() const { return starts_.size(); }
    bool empty() const { return starts_.empty(); }
    // The bytes of path `index`, NUL-terminated.
    const char* c_str(size_t index) const { return bytes_.data() + starts_[index]; }
    std::string_view native(size_t index) const { return c_str(index); }
    // Path `index` as a path value, made anew on every call.
    std::filesystem::path path(size_t index) const { return native(index); }

  private:
    std::vector<char> bytes_;
    std::vector<size_t> starts_;
};

}  // namespace kro::verify
