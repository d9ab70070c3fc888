#include "base/fs/temp_file_registry.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

namespace kro::base {

std::unique_lock<std::mutex> TempFileRegistry::remove_all() {
    std::unique_lock lock(mutex_);
    for (const Entry& entry : entries_) ::unlinkat(entry.dir_fd, entry.name.c_str(), 0);
    entries_.clear();
    return lock;
}

void TempFileRegistry::forget(int dir_fd, const std::string& name) noexcept {
    const auto it = std::ranges::find_if(
        entries_, [&](const Entry& entry) { return entry.dir_fd == dir_fd && entry.name == name; });
    if (it != entries_.end()) entries_.erase(it);
}

}  // namespace kro::base
