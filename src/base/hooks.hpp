#pragma once
// Where a test steps into a run: refuse a thread start, fail or fault one item of a parallel
// stage, answer a system call in place of the kernel, or watch a reservation. A run carries at
// most one Hooks object, as a pointer in its options that is null in production; each place that
// offers a hook asks it only when the pointer is set, so production pays one null test. A parallel
// stage is known to the hooks by the name the layer that runs it gives it.
// The default of every member does what the run does without hooks. Called from many threads at
// once: an override must be thread-safe itself.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>

#include "base/errors/io_error.hpp"

namespace kro::base {

// The name of a parallel stage, as the hooks see it: a constant of the layer that runs the stage.
struct StageName {
    std::string_view text;

    friend bool operator==(StageName, StageName) = default;
};

class Hooks {
  public:
    virtual ~Hooks() = default;

    // True refuses the n-th thread start (from 0, counted per scope) of `stage`, as if the
    // operating system could not start the thread.
    virtual bool refuse_spawn(StageName stage, size_t spawn_index) const;
    // Called on the thread that is about to work on item `index` of `stage`. It may throw (a fault
    // of that thread) or return an I/O error that the item then fails with.
    virtual std::optional<IoError> before_item(StageName stage, uint64_t index) const;
    // Sees every reservation of shared memory as +bytes once granted and -bytes before it is
    // given back.
    virtual void on_reservation(int64_t bytes) const;

    // The system calls of the I/O loops and of file handling.
    virtual ssize_t pread(int fd, void* buf, size_t count, uint64_t offset) const;
    virtual ssize_t pwrite(int fd, const void* buf, size_t count, uint64_t offset) const;
    virtual int close(int fd) const;
    // Advice to the page cache about a file's pages (posix_fadvise): its answer, an error number
    // or 0.
    virtual int fadvise(int fd, uint64_t offset, uint64_t length, int advice) const;
    // The operating system's random source.
    virtual std::expected<void, IoError> fill_random(std::span<uint8_t> out) const;
};

// A stage's hook calls with a null pointer standing for no hooks.
inline bool refuse_spawn(const Hooks* hooks, StageName stage, size_t spawn_index) {
    return hooks != nullptr && hooks->refuse_spawn(stage, spawn_index);
}
inline std::optional<IoError> before_item(const Hooks* hooks, StageName stage, uint64_t index) {
    if (hooks == nullptr) return std::nullopt;
    return hooks->before_item(stage, index);
}
inline void on_reservation(const Hooks* hooks, int64_t bytes) {
    if (hooks != nullptr) hooks->on_reservation(bytes);
}
// The system calls and the random source, answered by the hooks when there are any.
ssize_t pread(const Hooks* hooks, int fd, void* buf, size_t count, uint64_t offset);
ssize_t pwrite(const Hooks* hooks, int fd, const void* buf, size_t count, uint64_t offset);
int close(const Hooks* hooks, int fd);
int fadvise(const Hooks* hooks, int fd, uint64_t offset, uint64_t length, int advice);
std::expected<void, IoError> fill_random(const Hooks* hooks, std::span<uint8_t> out);

}  // namespace kro::base
