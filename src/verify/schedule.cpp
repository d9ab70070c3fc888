#include "verify/schedule.hpp"

#include <algorithm>
#include <expected>
#include <numeric>
#include <utility>
#include <vector>

#include "base/channel.hpp"
#include "base/file_io.hpp"
#include "base/ordered_collector.hpp"
#include "base/panic.hpp"
#include "base/saturating.hpp"
#include "base/thread_scope.hpp"
#include "base/windowed_dispenser.hpp"
#include "verify/lanes.hpp"
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

// What every worker of both groups shares: the run and the files it verifies.
struct ScheduledFiles {
    const VerifyRun& run;
    const FileList& files;

    FileResult verify(std::string_view stage, uint64_t item, size_t file, uint64_t lanes,
                      WorkerScratch& scratch) const {
        (void)base::before_item(run.hooks, stage, item);
        return verify_file(run, files.path(file), lanes, scratch);
    }
};

// Hands out the head files' indices, at most a window past the reports pushed in order.
using FileDispenser = base::WindowedDispenser;

// The reports of one group in file order, and the error of its lowest failing file.
using GroupCollector = base::OrderedCollector<FileReport, VerifyError>;

struct HeadResult {
    size_t index;
    FileResult result;
};

void head_group_worker(const ScheduledFiles& scheduled, FileDispenser& dispenser,
                       base::Sender<HeadResult> tx) {
    WorkerScratch scratch;
    try {
        while (const auto index = dispenser.claim()) {
            FileResult result = scheduled.verify(HEAD_WORKER_STAGE, *index, *index, 1, scratch);
            const bool fatal = !result;
            if (!tx.send(HeadResult{*index, std::move(result)})) return;
            if (fatal) {
                dispenser.stop();
                return;
            }
        }
    } catch (...) {
        // No other worker may wait for an index that will never be released; the fault itself
        // goes on to the thread scope.
        dispenser.stop();
        throw;
    }
}

// Pushes the head results in index order; the first fatal error stops the handing out, and
// nothing after it is pushed. Every message already queued is taken before the window moves on,
// so that one wake-up of this thread serves many small files.
void collect_head_results(base::Receiver<HeadResult>& rx, FileDispenser& dispenser, GroupCollector& in_order,
                          ReportCollector& collector) {
    const auto push = [&collector](uint64_t, FileReport report) { collector.push(std::move(report)); };
    while (auto message = rx.recv()) {
        const uint64_t pushed = in_order.next();
        do {
            in_order.put(message->index, std::move(message->result), push);
        } while ((message = rx.try_recv()));
        if (in_order.failed()) {
            dispenser.stop();
        } else if (in_order.next() > pushed) {
            dispenser.release(in_order.next() - pushed);
        }
    }
}

std::expected<void, VerifyError> verify_head_group(const ScheduledFiles& scheduled, size_t head,
                                                   uint64_t jobs, ReportCollector& collector) {
    const auto window = static_cast<size_t>(std::min<uint64_t>(base::saturating_mul(4, jobs), SIZE_MAX));
    FileDispenser dispenser(head, window);
    GroupCollector in_order;
    {
        // Declared before the channel: should the calling thread unwind, the receiver goes first and
        // no worker stays blocked on a full channel while the scope joins.
        base::ThreadScope scope(scheduled.run.hooks, HEAD_WORKER_STAGE);
        auto [tx, rx] = base::bounded_channel<HeadResult>(window);
        size_t started = 0;
        while (started < jobs && scope.spawn([&scheduled, &dispenser, tx]() mutable {
            head_group_worker(scheduled, dispenser, std::move(tx));
        })) {
            ++started;
        }
        tx.close();
        if (started == 0) {
            return verify_files_in_order(scheduled.run, scheduled.files, head, collector);
        }
        try {
            collect_head_results(rx, dispenser, in_order, collector);
        } catch (...) {
            // A worker waiting for the window to move would keep the scope from joining.
            dispenser.stop();
            throw;
        }
        scope.join_and_rethrow();
    }
    if (auto error = in_order.take_error()) return std::unexpected(std::move(*error));
    return {};
}

struct TailResult {
    size_t position;
    FileResult result;
};

// Positions by size, largest first, equal sizes by smaller position first.
std::vector<size_t> spawn_order(const std::vector<uint64_t>& sizes) {
    std::vector<size_t> order(sizes.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return sizes[a] > sizes[b]; });
    return order;
}

void tail_group_worker(const ScheduledFiles& scheduled, size_t head, size_t position, uint64_t lanes,
                       base::Sender<TailResult>& tx) {
    WorkerScratch scratch;
    FileResult result = scheduled.verify(TAIL_WORKER_STAGE, position, head + position, lanes, scratch);
    tx.send(TailResult{position, std::move(result)});
}

// Every tail file runs at once, with no stop signal: each one is verified even when another fails.
std::expected<void, VerifyError> verify_tail_group(const ScheduledFiles& scheduled, size_t head,
                                                   uint64_t jobs, ReportCollector& collector) {
    const size_t tail = scheduled.files.size() - head;
    std::vector<uint64_t> sizes;
    sizes.reserve(tail);
    for (size_t position = 0; position < tail; ++position)
        sizes.push_back(base::size_or_zero(scheduled.files.c_str(head + position)));
    const std::vector<uint64_t> lanes = allocate_lanes(sizes, jobs);

    GroupCollector in_order;
    const auto push = [&collector](uint64_t, FileReport report) { collector.push(std::move(report)); };
    {
        base::ThreadScope scope(scheduled.run.hooks, TAIL_WORKER_STAGE);
        auto [tx, rx] = base::unbounded_channel<TailResult>();
        for (const size_t position : spawn_order(sizes)) {
            const uint64_t file_lanes = lanes[position];
            const bool spawned = scope.spawn([&scheduled, head, position, file_lanes, tx]() mutable {
                tail_group_worker(scheduled, head, position, file_lanes, tx);
            });
            // A file whose thread cannot start is verified right here, with the same lanes.
            if (!spawned) tail_group_worker(scheduled, head, position, file_lanes, tx);
        }
        tx.close();
        while (auto message = rx.recv()) in_order.put(message->position, std::move(message->result), push);
        scope.join_and_rethrow();
    }
    // Every file below the lowest failure (every file, when none failed) has been pushed.
    if (in_order.next() != in_order.error_index().value_or(tail)) {
        base::panic("every tail group returns an outcome unless it panics");
    }
    if (auto error = in_order.take_error()) return std::unexpected(std::move(*error));
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
    if (split.tail > 0) return verify_tail_group(scheduled, split.head, jobs, collector);
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
