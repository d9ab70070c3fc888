#pragma once
// Test seams of the parallel stages of verification. Production code passes
// `ParallelSeams::none()`; a test fills in a hook to refuse thread starts, to inject a fault (by
// throwing) or a read error into one item of a stage, to watch the analysis memory budget, or to
// answer the reads of the corruption analysis.
// The hooks are called from many threads at once and must be thread-safe themselves.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>

#include "base/file_io.hpp"
#include "base/io_error.hpp"
#include "base/thread_scope.hpp"

namespace kro::verify {

// The parallel stages: an item is a v3 block, a v2 body block, an analysis unit, a head file
// index or a tail position.
enum class ParallelStage : uint8_t { V3Lane, V2Reader, AnalysisUnit, HeadWorker, TailWorker };

struct ParallelSeams {
    // True refuses the n-th thread start (from 0, counted per scope) of a stage.
    std::function<bool(ParallelStage stage, size_t spawn_index)> fail_spawn;
    // Called on the thread that is about to work on an item. It may throw (a fault of that
    // thread) or return an I/O error that the item then fails with, where the item is a read
    // (blocks and units; ignored for files).
    std::function<std::optional<base::IoError>(ParallelStage stage, uint64_t index)> before_item;
    // Sees every analysis reservation as +bytes once it is granted and -bytes before it is
    // given back.
    std::function<void(int64_t bytes)> on_reservation;
    // Takes the place of pread in the corruption analysis (sequential and parallel), so that a
    // test can make a file end early while it is analysed.
    const base::Hooks* analysis_pread = nullptr;

    // The seams of production: none.
    static const ParallelSeams& none();

    // The spawn-failure seam of a ThreadScope for `stage`; empty without a hook.
    base::SpawnFailure spawn_failure(ParallelStage stage) const;
    std::optional<base::IoError> at_item(ParallelStage stage, uint64_t index) const {
        if (!before_item) return std::nullopt;
        return before_item(stage, index);
    }
    void reservation(int64_t bytes) const {
        if (on_reservation) on_reservation(bytes);
    }
    // read_at_full for the corruption analysis.
    std::expected<size_t, base::IoError> analysis_read_at(int fd, std::span<uint8_t> buffer,
                                                          uint64_t offset) const {
        return base::read_at_full(fd, buffer, offset, analysis_pread);
    }
};

}  // namespace kro::verify
