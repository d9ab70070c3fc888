#pragma once
// The temporary files of one generation run that exist right now, each as its directory's
// descriptor and its name there, so that a run stopped by a signal can remove them before the
// process ends. A file is made and recorded, and renamed or unlinked and struck off, under the
// registry's lock: whoever holds the lock sees every temporary file that exists. Thread-safe;
// the directories' descriptors must stay open while their files are on record.

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/fd.hpp"

namespace kro::base {

class TempFileRegistry {
  public:
    // Runs `create` (which makes `name` in `dir_fd` and returns its descriptor, invalid on
    // failure) under the lock, and records the file when it was made.
    template <typename Create>
    base::UniqueFd create(int dir_fd, const std::string& name, Create&& create) {
        Entry entry{dir_fd, name};  // every allocation before the file exists
        const std::lock_guard lock(mutex_);
        entries_.reserve(entries_.size() + 1);
        base::UniqueFd fd = create();
        if (fd.valid()) entries_.push_back(std::move(entry));
        return fd;
    }

    // Runs `settle` (which renames or unlinks the file) under the lock and strikes the file off.
    template <typename Settle>
    auto settle(int dir_fd, const std::string& name, Settle&& settle) {
        const std::lock_guard lock(mutex_);
        auto outcome = settle();
        forget(dir_fd, name);
        return outcome;
    }

    // Unlinks every recorded file and keeps the registry locked until the returned lock goes, so
    // that no new temporary file can appear in between.
    [[nodiscard]] std::unique_lock<std::mutex> remove_all();

  private:
    struct Entry {
        int dir_fd;
        std::string name;
    };
    void forget(int dir_fd, const std::string& name) noexcept;

    std::mutex mutex_;
    std::vector<Entry> entries_;
};

}  // namespace kro::base
