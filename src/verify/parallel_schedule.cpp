#include "verify/parallel_schedule.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <exception>
#include <map>
#include <numeric>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "base/channel.hpp"
#include "base/panic.hpp"
#include "base/saturating.hpp"
#include "base/thread_scope.hpp"
#include "base/windowed_dispenser.hpp"
#include "verify/lanes.hpp"
#include "verify/scratch_pair.hpp"
#include "verify/sequential_schedule.hpp"
#include "verify/verify_file.hpp"

namespace kro::verify {

namespace {

using FileResult = std::expected<FileReport, VerifyError>;

// What every worker of both groups shares, read-only apart from the budget and the tracker.
struct FileJobs {
    const VerifyOptions& options;
    const FileList& files;
    MemoryBudget& budget;
    store::ProgressTracker& tracker;

    FileResult verify(std::string_view stage, uint64_t item, size_t file, uint64_t lanes,
                      ScratchPair& scratch) const {
        (void)base::before_item(options.hooks, stage, item);
        return verify_file(options, files.path(file), lanes, scratch, budget, tracker);
    }
};

struct HeadResult {
    size_t index;
    FileResult result;
};

void head_group_worker(const FileJobs& jobs, base::WindowedDispenser& dispenser, base::Sender<HeadResult> tx,
                       std::exception_ptr& fault) {
    ScratchPair scratch;
    try {
        while (const auto index = dispenser.claim()) {
            FileResult result = jobs.verify(HEAD_WORKER_STAGE, *index, *index, 1, scratch);
            const bool fatal = !result;
            if (!tx.send(HeadResult{*index, std::move(result)})) return;
            if (fatal) {
                dispenser.stop();
                return;
            }
        }
    } catch (...) {
        // No other worker may wait for an index that will never be released.
        dispenser.stop();
        fault = std::current_exception();
    }
}

// Pushes the head results in index order; the first fatal error stops the handing out and is
// the group's result, everything after it is dropped. Every message already queued is taken
// before the window moves on, so that one wake-up of this thread serves many small files.
std::optional<VerifyError> collect_head_results(base::Receiver<HeadResult>& rx,
                                                base::WindowedDispenser& dispenser,
                                                ReportCollector& collector) {
    std::map<size_t, FileResult> pending;
    size_t expected = 0;
    std::optional<VerifyError> failure;
    while (auto message = rx.recv()) {
        if (failure) continue;
        do {
            pending.emplace(message->index, std::move(message->result));
        } while ((message = rx.try_recv()));
        size_t pushed = 0;
        while (!pending.empty() && pending.begin()->first == expected) {
            FileResult result = std::move(pending.begin()->second);
            pending.erase(pending.begin());
            if (!result) {
                failure.emplace(std::move(result.error()));
                dispenser.stop();
                pending.clear();
                break;
            }
            collector.push(std::move(*result));
            ++pushed;
            ++expected;
        }
        if (pushed > 0 && !failure) dispenser.release(pushed);
    }
    return failure;
}

std::expected<void, VerifyError> verify_head_group(const FileJobs& jobs, size_t head, uint64_t budget,
                                                   ReportCollector& collector) {
    const auto workers = static_cast<size_t>(budget);
    const auto window = static_cast<size_t>(std::min<uint64_t>(base::saturating_mul(4, budget), SIZE_MAX));
    base::WindowedDispenser dispenser(head, window);
    std::vector<std::exception_ptr> faults(workers);  // one slot per worker, in start order
    std::optional<VerifyError> failure;
    size_t started = 0;
    {
        // Declared before the channel: should the calling thread unwind, the receiver goes first and
        // no worker stays blocked on a full channel while the scope joins.
        base::ThreadScope scope(jobs.options.hooks, HEAD_WORKER_STAGE);
        auto [tx, rx] = base::bounded_channel<HeadResult>(window);
        while (started < workers) {
            std::exception_ptr& fault = faults[started];
            const bool spawned = scope.spawn([&jobs, &dispenser, &fault, tx]() mutable {
                head_group_worker(jobs, dispenser, std::move(tx), fault);
            });
            if (!spawned) break;
            ++started;
        }
        tx.close();
        if (started == 0) {
            return verify_files_in_order(jobs.options, jobs.files, head, jobs.budget, jobs.tracker,
                                         collector);
        }
        failure = collect_head_results(rx, dispenser, collector);
    }
    for (const std::exception_ptr& fault : faults) {
        if (fault) std::rethrow_exception(fault);
    }
    if (failure) return std::unexpected(std::move(*failure));
    return {};
}

struct TailResult {
    size_t position;
    FileResult result;
};
struct TailPanicked {
    std::exception_ptr fault;
};
using TailMessage = std::variant<TailResult, TailPanicked>;

// The size of a file as its metadata gives it, following links; 0 when that cannot be read.
uint64_t file_size_or_zero(const char* path) {
    struct stat st {};
    if (::stat(path, &st) != 0 || st.st_size < 0) return 0;
    return static_cast<uint64_t>(st.st_size);
}

// Positions by size, largest first, equal sizes by smaller position first.
std::vector<size_t> spawn_order(const std::vector<uint64_t>& sizes) {
    std::vector<size_t> order(sizes.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return sizes[a] > sizes[b]; });
    return order;
}

void tail_group_worker(const FileJobs& jobs, size_t head, size_t position, uint64_t lanes,
                       base::Sender<TailMessage>& tx) {
    try {
        ScratchPair scratch;
        FileResult result = jobs.verify(TAIL_WORKER_STAGE, position, head + position, lanes, scratch);
        tx.send(TailResult{position, std::move(result)});
    } catch (...) {
        tx.send(TailPanicked{std::current_exception()});
    }
}

// Every tail file runs at once, with no stop signal: each one is verified even when another fails.
std::expected<void, VerifyError> verify_tail_group(const FileJobs& jobs, size_t head, uint64_t budget,
                                                   ReportCollector& collector) {
    const size_t tail = jobs.files.size() - head;
    std::vector<uint64_t> sizes;
    sizes.reserve(tail);
    for (size_t position = 0; position < tail; ++position)
        sizes.push_back(file_size_or_zero(jobs.files.c_str(head + position)));
    const std::vector<uint64_t> lanes = allocate_lanes(sizes, budget);

    std::map<size_t, FileResult> results;
    std::exception_ptr fault;
    {
        base::ThreadScope scope(jobs.options.hooks, TAIL_WORKER_STAGE);
        auto [tx, rx] = base::unbounded_channel<TailMessage>();
        for (const size_t position : spawn_order(sizes)) {
            const uint64_t file_lanes = lanes[position];
            const bool spawned = scope.spawn([&jobs, head, position, file_lanes, tx]() mutable {
                tail_group_worker(jobs, head, position, file_lanes, tx);
            });
            // A file whose thread cannot start is verified right here, with the same lanes.
            if (!spawned) tail_group_worker(jobs, head, position, file_lanes, tx);
        }
        tx.close();
        while (auto message = rx.recv()) {
            if (auto* done = std::get_if<TailResult>(&*message)) {
                results.emplace(done->position, std::move(done->result));
            } else if (!fault) {
                fault = std::get<TailPanicked>(*message).fault;
            }
        }
    }
    if (fault) std::rethrow_exception(fault);
    for (size_t position = 0; position < tail; ++position) {
        const auto found = results.find(position);
        if (found == results.end()) base::panic("every tail group returns an outcome unless it panics");
        if (!found->second) return std::unexpected(std::move(found->second.error()));
        collector.push(std::move(*found->second));
    }
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

std::expected<void, VerifyError> verify_files_parallel(const VerifyOptions& options, const FileList& files,
                                                       MemoryBudget& budget, store::ProgressTracker& tracker,
                                                       ReportCollector& collector) {
    const FileJobs jobs{options, files, budget, tracker};
    const HeadTailSplit split = split_head_tail(files.size(), options.jobs);
    if (split.head > 0) {
        if (auto head = verify_head_group(jobs, split.head, options.jobs, collector); !head) return head;
    }
    if (split.tail > 0) return verify_tail_group(jobs, split.head, options.jobs, collector);
    return {};
}

}  // namespace kro::verify
