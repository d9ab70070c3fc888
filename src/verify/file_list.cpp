#include "verify/file_list.hpp"

#include <algorithm>
#include <cstring>

namespace kro::verify {

void FileList::push_back(const std::filesystem::path& path) {
    const std::string& bytes = path.native();
    starts_.push_back(bytes_.size());
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    bytes_.push_back('\0');
}

void FileList::sort() {
    // strcmp compares bytes as unsigned char, and the NUL ends the shorter of two paths first.
    std::sort(starts_.begin(), starts_.end(),
              [this](size_t a, size_t b) { return std::strcmp(bytes_.data() + a, bytes_.data() + b) < 0; });
}

}  // namespace kro::verify
