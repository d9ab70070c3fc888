#include "verify/analysis/parallel_analysis.hpp"

#include <algorithm>
#include <exception>
#include <map>
#include <new>
#include <optional>
#include <span>
#include <utility>
#include <variant>

#include "base/channel.hpp"
#include "base/file_io.hpp"
#include "base/page_buffer.hpp"
#include "base/panic.hpp"
#include "base/saturating.hpp"
#include "base/thread_scope.hpp"
#include "format/content.hpp"
#include "verify/analysis/chunk_compare.hpp"
#include "verify/verify_report.hpp"

namespace kro::verify {

using format::HEADER_LEN;

namespace {

// Read-only while the threads run.
struct AnalysisPlan {
    int fd;
    format::ContentSeed seed;
    format::FormatVersion version;
    uint64_t end;
    uint64_t chunk_size;
    AnalysisUnits units;
};

// What one unit found: its regions, and where the file ended when it ended inside the unit.
struct UnitRegions {
    RegionList regions;
    std::optional<uint64_t> ended_at;
};

struct Analysed {
    uint64_t index;
    UnitRegions found;
};
struct Failed {
    uint64_t index;
    base::IoError error;
};
struct Faulted {
    std::exception_ptr fault;
};
using UnitMessage = std::variant<Analysed, Failed, Faulted>;

// The unit gave up waiting for memory: the analysis was cancelled.
struct Stopped {};
using UnitOutcome = std::variant<UnitRegions, base::IoError, Stopped>;

// Everything one analysis shares between its threads.
struct AnalysisRun {
    const AnalysisPlan& plan;
    MemoryBudget& budget;
    UnitDispenser& dispenser;
    const base::Hooks* hooks;
};

// A granted reservation, given back on every way out of the unit, a fault included.
class Reservation {
  public:
    Reservation(const AnalysisRun& run, uint64_t bytes) : run_(run), bytes_(bytes) {
        base::on_reservation(run_.hooks, static_cast<int64_t>(bytes_));
    }
    Reservation(const Reservation&) = delete;
    Reservation& operator=(const Reservation&) = delete;
    ~Reservation() {
        base::on_reservation(run_.hooks, -static_cast<int64_t>(bytes_));
        run_.budget.release(bytes_);
    }

  private:
    const AnalysisRun& run_;
    uint64_t bytes_;
};

UnitOutcome compare_unit(const AnalysisPlan& plan, const base::Hooks* hooks, uint64_t first, size_t len) {
    auto actual = base::PageBuffer::allocate(len);
    if (!actual) return std::move(actual.error());
    auto got = base::read_at_full(plan.fd, actual->span(), first, hooks);
    if (!got) return std::move(got.error());
    const size_t read = *got;  // fewer only when the file ended early
    auto expected = base::PageBuffer::allocate(read);
    if (!expected) return std::move(expected.error());
    format::ContentReader::at_offset(plan.seed, first - HEADER_LEN, plan.version).fill(expected->span());

    UnitRegions found;
    compare_chunks(actual->span().first(read), expected->span(), first, plan.chunk_size, found.regions);
    if (read < len) found.ended_at = first + read;
    return found;
}

UnitOutcome analyze_unit(const AnalysisRun& run, uint64_t index) {
    const AnalysisPlan& plan = run.plan;
    const uint64_t unit_start = base::saturating_mul(index, plan.units.unit_size);
    const uint64_t first = std::max<uint64_t>(HEADER_LEN, unit_start);
    const uint64_t last = std::min(plan.end, base::saturating_add(unit_start, plan.units.unit_size));
    const auto len = static_cast<size_t>(last - first);
    if (!run.budget.reserve(2 * uint64_t{len}, run.dispenser)) return Stopped{};
    const Reservation reservation(run, 2 * uint64_t{len});
    if (auto injected = base::before_item(run.hooks, ANALYSIS_UNIT_STAGE, index)) return std::move(*injected);
    try {
        return compare_unit(plan, run.hooks, first, len);
    } catch (const std::bad_alloc&) {
        return base::IoError::out_of_memory();
    }
}

// Under the dispenser's lock: may unit `next` be handed out now?
bool inside_window(const UnitDispenser& dispenser) {
    return dispenser.next < base::saturating_add(dispenser.released, dispenser.window);
}

// A worker's claim: waits while the window is full; nothing once stopped or all handed out.
std::optional<uint64_t> claim_unit(UnitDispenser& dispenser, uint64_t unit_count) {
    std::unique_lock lock(dispenser.mutex);
    while (!dispenser.stop && dispenser.next < unit_count) {
        if (inside_window(dispenser)) return dispenser.next++;
        dispenser.changed.wait(lock);
    }
    return std::nullopt;
}

enum class ClaimState { Claimed, Wait, Done };
struct TryClaim {
    ClaimState state;
    uint64_t index = 0;
};

// The calling thread's claim, which never waits.
TryClaim try_claim_unit(UnitDispenser& dispenser, uint64_t unit_count) {
    const std::lock_guard lock(dispenser.mutex);
    if (dispenser.stop || dispenser.next >= unit_count) return {ClaimState::Done};
    if (inside_window(dispenser)) return {ClaimState::Claimed, dispenser.next++};
    return {ClaimState::Wait};
}

void release_units_through(UnitDispenser& dispenser, uint64_t merged) {
    {
        const std::lock_guard lock(dispenser.mutex);
        if (dispenser.released >= merged) return;
        dispenser.released = merged;
    }
    dispenser.changed.notify_all();
}

// After a unit's error: hand out no more units; those already running finish.
void stop_units(UnitDispenser& dispenser) {
    {
        const std::lock_guard lock(dispenser.mutex);
        dispenser.stop = true;
    }
    dispenser.changed.notify_all();
}

// The message that a finished unit sends (nothing when it gave up), stopping the handing out
// after an error.
std::optional<UnitMessage> finish_unit(UnitDispenser& dispenser, uint64_t index, UnitOutcome outcome) {
    if (auto* found = std::get_if<UnitRegions>(&outcome)) return Analysed{index, std::move(*found)};
    if (auto* error = std::get_if<base::IoError>(&outcome)) {
        stop_units(dispenser);
        return Failed{index, std::move(*error)};
    }
    return std::nullopt;
}

void analysis_worker(const AnalysisRun& run, base::Sender<UnitMessage>& tx) {
    while (auto index = claim_unit(run.dispenser, run.plan.units.unit_count)) {
        auto message = finish_unit(run.dispenser, *index, analyze_unit(run, *index));
        if (!message || !tx.send(std::move(*message))) return;
    }
}

void run_analysis_worker(const AnalysisRun& run, base::Sender<UnitMessage> tx) {
    try {
        analysis_worker(run, tx);
    } catch (...) {
        stop_analysis(run.budget, run.dispenser);
        tx.send(Faulted{std::current_exception()});
    }
}

// The calling thread's merge of unit results, in unit order.
struct UnitCollector {
    RegionList regions;
    std::map<uint64_t, UnitRegions> pending;
    uint64_t next = 0;
    // Where the file ended early, seen in unit order: nothing after it counts.
    std::optional<uint64_t> ended_at;
    std::optional<std::pair<uint64_t, base::IoError>> first_error;
    std::exception_ptr fault;

    void keep_fault(std::exception_ptr caught) {
        if (!fault) fault = std::move(caught);
    }

    void collect(UnitMessage message) {
        if (auto* faulted = std::get_if<Faulted>(&message)) {
            keep_fault(faulted->fault);
        } else if (auto* failed = std::get_if<Failed>(&message)) {
            if (!first_error || failed->index < first_error->first) {
                first_error.emplace(failed->index, std::move(failed->error));
            }
        } else {
            auto& analysed = std::get<Analysed>(message);
            pending.emplace(analysed.index, std::move(analysed.found));
            for (auto it = pending.begin(); it != pending.end() && it->first == next;
                 it = pending.erase(it), ++next) {
                if (ended_at) continue;
                // The unit's regions move over whole; one that runs across the unit boundary
                // merges here.
                push_regions(regions, std::move(it->second.regions));
                ended_at = it->second.ended_at;
            }
        }
    }
};

// The calling thread analyses units too, but takes results first, so that the window moves.
void analyse_and_collect(const AnalysisRun& run, base::Receiver<UnitMessage>& rx, UnitCollector& collector) {
    // A fault of the merge itself (memory running out) cancels the analysis like any other.
    const auto take = [&](UnitMessage message) {
        try {
            collector.collect(std::move(message));
        } catch (...) {
            stop_analysis(run.budget, run.dispenser);
            collector.keep_fault(std::current_exception());
        }
        release_units_through(run.dispenser, collector.next);
    };
    try {
        while (true) {
            if (auto message = rx.try_recv()) {
                take(std::move(*message));
                continue;
            }
            const TryClaim claim = try_claim_unit(run.dispenser, run.plan.units.unit_count);
            if (claim.state == ClaimState::Done) break;
            if (claim.state == ClaimState::Wait) {
                auto message = rx.recv();
                if (!message) break;
                take(std::move(*message));
                continue;
            }
            auto message = finish_unit(run.dispenser, claim.index, analyze_unit(run, claim.index));
            if (!message) break;
            take(std::move(*message));
        }
    } catch (...) {
        stop_analysis(run.budget, run.dispenser);
        take(Faulted{std::current_exception()});
    }
    while (auto message = rx.recv()) take(std::move(*message));
}

void run_analysis_workers(const AnalysisRun& run, UnitCollector& collector) {
    // Declared before the channel: should the calling thread unwind, the receiver goes first and
    // no worker stays blocked on a full channel while the scope joins.
    base::ThreadScope scope(run.hooks, ANALYSIS_UNIT_STAGE);
    const uint64_t workers = run.plan.units.workers;
    auto [tx, rx] = base::bounded_channel<UnitMessage>(static_cast<size_t>(base::saturating_mul(4, workers)));
    for (uint64_t k = 1; k < workers; ++k) {
        if (!scope.spawn([&run, tx]() mutable { run_analysis_worker(run, std::move(tx)); })) break;
    }
    tx.close();
    analyse_and_collect(run, rx, collector);
    // A fault that a worker could not even send is carried by the scope.
    scope.join_all();
    if (auto fault = scope.first_exception()) collector.keep_fault(fault);
}

}  // namespace

AnalysisUnits plan_analysis_units(uint64_t end, uint64_t chunk_size, uint64_t workers) {
    if (chunk_size > MAX_CHUNK_SIZE) base::panic("analysis chunks are clamped to 64 MiB");
    const uint64_t per_unit =
        std::max<uint64_t>(chunk_size <= ANALYSIS_UNIT_TARGET ? ANALYSIS_UNIT_TARGET / chunk_size : 0, 1);
    const uint64_t unit_size = chunk_size * per_unit;
    const uint64_t unit_count = end / unit_size + (end % unit_size != 0 ? 1 : 0);
    const uint64_t memory_workers = std::max<uint64_t>(ANALYSIS_MEMORY_LIMIT / (2 * unit_size), 1);
    return AnalysisUnits{unit_size, unit_count, std::min({memory_workers, workers, unit_count})};
}

std::expected<RegionList, base::IoError> analyze_parallel(int fd, const format::Header& header,
                                                          uint64_t actual_len, uint64_t chunk_size,
                                                          uint64_t workers, MemoryBudget& budget,
                                                          const base::Hooks* hooks) {
    const uint64_t declared_len = header.file_length();
    const uint64_t end = std::min(declared_len, actual_len);
    try {
        RegionList regions;
        uint64_t read_end = end;
        if (end > HEADER_LEN) {
            const AnalysisPlan plan{fd,  header.seed(), header.version(),
                                    end, chunk_size,    plan_analysis_units(end, chunk_size, workers)};
            UnitDispenser dispenser(base::saturating_mul(4, plan.units.workers));
            const AnalysisRun run{plan, budget, dispenser, hooks};
            UnitCollector collector;
            run_analysis_workers(run, collector);
            if (collector.fault) std::rethrow_exception(collector.fault);
            if (collector.first_error) return std::unexpected(std::move(collector.first_error->second));
            regions = std::move(collector.regions);
            read_end = collector.ended_at.value_or(end);
        }
        push_tail_region(regions, declared_len, actual_len, read_end);
        return regions;
    } catch (const std::bad_alloc&) {
        // Also one that a worker met and the scope carried here.
        return std::unexpected(base::IoError::out_of_memory());
    }
}

}  // namespace kro::verify
