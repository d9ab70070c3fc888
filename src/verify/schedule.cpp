#include "verify/schedule.hpp"

#include <algorithm>
#include <atomic>
#include <expected>
#include <numeric>
#include <utility>
#include <vector>

#include "base/errors/panic.hpp"
#include "base/fs/file_io.hpp"
#include "base/parallel/channel.hpp"
#include "base/parallel/ordered_collector.hpp"
#include "base/parallel/parallel_stage.hpp"
#include "base/parallel/windowed_dispenser.hpp"
#include "base/saturating.hpp"
#include "verify/lanes.hpp"
#include "verify/stage_names.hpp"
#include "verify/verify_error.hpp"
#include "verify/verify_file.hpp"
#include "verify/worker_scratch.hpp"

namespace kro::verify {

namespace {

// Files 0 to count - 1 in order on the calling thread, one lane each, with one worker scratch: the
// schedule of a budget of one worker, and the fallback of the head group when no worker can be
// started. Stops at the first fatal error, so no later file is opened.
std::expected<void, VerifyError> verify_files_in_order(const VerifyRun& run, const FileList& files,
                                                       size_t count, ReportCollector& collector) {
    WorkerScratch scratch;
    for (size_t index = 0; index < count; ++index) {
        auto report = verify_file(run, files.path(index), 1, scratch);
        if (!report) return std::unexpected(std::move(report.error()));
        collector.push(std::move(*report));
    }
    return {};
}

using FileResult = std::expected<FileReport, VerifyError>;

// The stage of a group of files: the head group's workers, or the tail group's threads.
using GroupStage = base::ParallelStage<VerifyError>;

// What every worker of both groups shares: the run and the files it verifies.
struct ScheduledFiles {
    const VerifyRun& run;
    const FileList& files;

    // File `file` as item `item` of `stage`.
    FileResult verify(const GroupStage& stage, uint64_t item, size_t file, uint64_t lanes,
                      WorkerScratch& scratch) const {
        if (auto injected = stage.before_item(item)) {
            return std::unexpected(
                VerifyError::io(READING_A_DATA_FILE, files.path(file), std::move(*injected)));
        }
        return verify_file(run, files.path(file), lanes, scratch);
    }
};

// Hands out the head files' indices, at most a window past the reports pushed in order.
using FileDispenser = base::WindowedDispenser;

// A file's report, from the worker that verified it to the thread that pushes reports in order.
struct FileMessage {
    size_t index;
    FileReport report;
};

// The reports of one group in file order.
using GroupCollector = base::OrderedCollector<FileReport>;

void head_group_worker(const ScheduledFiles& scheduled, FileDispenser& dispenser, GroupStage& stage,
                       base::Sender<FileMessage>& tx) {
    WorkerScratch scratch;
    while (const auto index = dispenser.claim(stage.stop_token())) {
        FileResult result = scheduled.verify(stage, *index, *index, 1, scratch);
        if (!result) {
            stage.fail(*index, std::move(result.error()));
            return;
        }
        if (!tx.send(FileMessage{*index, std::move(*result)})) return;
    }
}

// Pushes the head reports in index order; nothing at or after a failed file is pushed, since it
// never arrives. Every message already queued is taken before the window moves on, so that one
// wake-up of this thread serves many small files.
void collect_head_reports(base::Receiver<FileMessage>& rx, FileDispenser& dispenser,
                          ReportCollector& collector) {
    GroupCollector in_order;
    const auto push = [&collector](uint64_t, FileReport report) { collector.push(std::move(report)); };
    while (auto message = rx.recv()) {
        const uint64_t pushed = in_order.next();
        do {
            in_order.put(message->index, std::move(message->report), push);
        } while ((message = rx.try_recv()));
        if (in_order.next() > pushed) dispenser.release(in_order.next() - pushed);
    }
}

// The first failure stops the handing out of files; files under way finish, so the lowest
// failing file is the one reported.
std::expected<void, VerifyError> verify_head_group(const ScheduledFiles& scheduled, size_t head,
                                                   uint64_t jobs, ReportCollector& collector) {
    const auto window = static_cast<size_t>(std::min<uint64_t>(base::saturating_mul(4, jobs), SIZE_MAX));
    FileDispenser dispenser(head, window);
    GroupStage stage(scheduled.run.hooks, HEAD_WORKER);
    auto [tx, rx] = base::bounded_channel<FileMessage>(window);
    std::expected<void, VerifyError> sequential = {};
    stage.run(
        static_cast<size_t>(jobs),
        [&scheduled, &dispenser, &stage, tx = std::move(tx)](size_t) mutable {
            head_group_worker(scheduled, dispenser, stage, tx);
        },
        [&, rx = std::move(rx)](size_t started) mutable {
            if (started == 0) {
                sequential = verify_files_in_order(scheduled.run, scheduled.files, head, collector);
            } else {
                collect_head_reports(rx, dispenser, collector);
            }
        });
    if (!sequential) return sequential;
    if (auto error = stage.take_error()) return std::unexpected(std::move(*error));
    return {};
}

// Positions by size, largest first, equal sizes by smaller position first.
std::vector<size_t> spawn_order(const std::vector<uint64_t>& sizes) {
    std::vector<size_t> order(sizes.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return sizes[a] > sizes[b]; });
    return order;
}

// The tail files, handed out in spawn order, each with its own lanes. Nothing stops the handing
// out: every tail file is verified, even when another fails.
class TailFiles {
  public:
    TailFiles(const ScheduledFiles& scheduled, size_t head, GroupStage& stage)
        : scheduled_(scheduled), head_(head), tail_(scheduled.files.size() - head), stage_(stage) {
        std::vector<uint64_t> sizes;
        sizes.reserve(tail_);
        for (size_t position = 0; position < tail_; ++position)
            sizes.push_back(base::size_or_zero(scheduled.files.c_str(head + position)));
        lanes_ = allocate_lanes(sizes, scheduled.run.options.jobs);
        order_ = spawn_order(sizes);
    }

    size_t count() const { return tail_; }

    // Verifies the next tail files until none is left, handing each report to `deliver(position,
    // report)` and recording each error on the stage.
    template <typename Deliver>
    void verify_next(Deliver&& deliver) {
        WorkerScratch scratch;
        for (size_t n; (n = next_.fetch_add(1, std::memory_order_relaxed)) < tail_;) {
            const size_t position = order_[n];
            FileResult result =
                scheduled_.verify(stage_, position, head_ + position, lanes_[position], scratch);
            if (!result) {
                stage_.fail(position, std::move(result.error()));
            } else {
                deliver(position, std::move(*result));
            }
        }
    }

  private:
    const ScheduledFiles& scheduled_;
    const size_t head_;
    const size_t tail_;
    GroupStage& stage_;
    std::vector<uint64_t> lanes_;
    std::vector<size_t> order_;
    std::atomic<size_t> next_{0};
};

// A thread for every tail file, largest first; files whose thread cannot start are verified on
// the calling thread, with the same lanes.
std::expected<void, VerifyError> verify_tail_group(const ScheduledFiles& scheduled, size_t head,
                                                   ReportCollector& collector) {
    GroupStage stage(scheduled.run.hooks, TAIL_WORKER);
    TailFiles files(scheduled, head, stage);
    GroupCollector in_order;
    const auto push = [&collector](uint64_t, FileReport report) { collector.push(std::move(report)); };
    auto [tx, rx] = base::unbounded_channel<FileMessage>();
    stage.run(
        files.count(),
        [&files, tx = std::move(tx)](size_t) mutable {
            files.verify_next([&tx](size_t position, FileReport report) {
                tx.send(FileMessage{position, std::move(report)});
            });
        },
        [&, rx = std::move(rx)](size_t started) mutable {
            if (started < files.count()) {
                files.verify_next([&](size_t position, FileReport report) {
                    in_order.put(position, std::move(report), push);
                });
            }
            while (auto message = rx.recv()) in_order.put(message->index, std::move(message->report), push);
        });
    // Every file below the lowest failure (every file, when none failed) has been pushed.
    if (in_order.next() != stage.error_index().value_or(files.count())) {
        base::panic("every tail group returns an outcome unless it panics");
    }
    if (auto error = stage.take_error()) return std::unexpected(std::move(*error));
    return {};
}

// Verifies `files` (in file order) with a budget of `run.options.jobs` >= 2 workers and pushes the
// reports into `collector` in file order.
std::expected<void, VerifyError> verify_files_parallel(const VerifyRun& run, const FileList& files,
                                                       ReportCollector& collector) {
    const ScheduledFiles scheduled{run, files};
    const uint64_t jobs = run.options.jobs;
    const HeadTailSplit split = split_head_tail(files.size(), jobs);
    if (split.head > 0) {
        if (auto head = verify_head_group(scheduled, split.head, jobs, collector); !head) return head;
    }
    if (split.tail > 0) return verify_tail_group(scheduled, split.head, collector);
    return {};
}

}  // namespace

HeadTailSplit split_head_tail(size_t files, uint64_t jobs) {
    if (files > jobs) {
        const size_t head = std::max<size_t>(files - jobs + 1, jobs);
        return {head, files - head};
    }
    if (files == jobs) return {files, 0};
    return {0, files};
}

std::expected<void, VerifyError> verify_files(const VerifyRun& run, const FileList& files,
                                              ReportCollector& collector) {
    if (run.options.jobs >= 2) return verify_files_parallel(run, files, collector);
    return verify_files_in_order(run, files, files.size(), collector);
}

}  // namespace kro::verify
