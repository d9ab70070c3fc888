#include "verify/corruption_analysis.hpp"

#include <algorithm>
#include <expected>
#include <new>
#include <optional>
#include <span>
#include <utility>

#include "base/errors/panic.hpp"
#include "base/page_buffer.hpp"
#include "base/parallel/channel.hpp"
#include "base/parallel/ordered_collector.hpp"
#include "base/parallel/parallel_stage.hpp"
#include "base/parallel/windowed_dispenser.hpp"
#include "base/saturating.hpp"
#include "format/content.hpp"
#include "verify/analysis/chunk_compare.hpp"
#include "verify/analysis/memory_budget.hpp"
#include "verify/stage_names.hpp"

namespace kro::verify {

using format::HEADER_LEN;

namespace {

// The analysis on the calling thread reads whole chunks adding up to at least this much at once
// (one chunk when it is larger), whatever the chunk size: 1 MiB.
constexpr uint64_t ANALYSIS_READ_TARGET = 1048576;

// The target size of one unit of parallel analysis: 8 MiB.
constexpr uint64_t ANALYSIS_UNIT_TARGET = 8388608;

// Where a piece that starts at `offset` ends: after whole chunks adding up to at most `piece_len`
// (which holds at least one chunk), or at `limit`.
uint64_t piece_end(uint64_t offset, uint64_t piece_len, uint64_t chunk_size, uint64_t limit) {
    if (limit - offset <= piece_len) return limit;
    const uint64_t reach = offset + piece_len;
    return reach - reach % chunk_size;
}

// Compares [60, span_end) read forward in pieces of whole chunks; `read_end` is where reading
// stopped (before `span_end` only when the file ended early).
std::expected<RegionList, base::IoError> compare_span(const DataFileReader& file, uint64_t span_end,
                                                      uint64_t& read_end) {
    RegionList regions;
    read_end = span_end;
    if (span_end <= HEADER_LEN) return regions;
    const uint64_t chunk_size = file.run().options.chunk_size;
    MemoryBudget& budget = file.run().memory;
    // Both buffers are made once and sized by the compared span, never by a declared length, and
    // count against the run's budget like those of a parallel unit.
    const uint64_t piece_len = std::min(std::max(chunk_size, ANALYSIS_READ_TARGET), span_end - HEADER_LEN);
    budget.reserve(2 * piece_len);
    const Reservation reservation(budget, 2 * piece_len, file.hooks());
    auto actual = base::PageBuffer::allocate(static_cast<size_t>(piece_len));
    if (!actual) return std::unexpected(std::move(actual.error()));
    auto expected = base::PageBuffer::allocate(static_cast<size_t>(piece_len));
    if (!expected) return std::unexpected(std::move(expected.error()));
    auto reader = format::ContentReader::at_offset(file.header().seed(), 0, file.header().version());
    uint64_t offset = HEADER_LEN;
    while (offset < span_end) {
        const auto want = static_cast<size_t>(piece_end(offset, piece_len, chunk_size, span_end) - offset);
        auto got = file.read(actual->span().first(want), offset);
        if (!got) return std::unexpected(std::move(got.error()));
        const auto regenerated = expected->span().first(*got);
        reader.fill(regenerated);
        compare_chunks(actual->span().first(*got), regenerated, offset, chunk_size, regions);
        offset += *got;
        if (*got < want) break;  // the file ended early
    }
    read_end = offset;
    return regions;
}

// The analysis on the calling thread; waits until the budget holds its two buffers.
std::expected<RegionList, base::IoError> analyze_sequential(const DataFileReader& file) {
    const uint64_t declared_len = file.header().file_length();
    try {
        uint64_t read_end = 0;
        auto regions = compare_span(file, std::min(declared_len, file.actual_len()), read_end);
        if (!regions) return regions;
        push_tail_region(*regions, declared_len, file.actual_len(), read_end);
        return regions;
    } catch (const std::bad_alloc&) {
        return std::unexpected(base::IoError::out_of_memory());
    }
}

// Read-only while the threads run.
struct AnalysisPlan {
    const DataFileReader& file;
    uint64_t end;
    uint64_t chunk_size;
    AnalysisUnits units;
};

// What one unit found: its regions, and where the file ended when it ended inside the unit.
struct UnitRegions {
    RegionList regions;
    std::optional<uint64_t> ended_at;
};

// What a unit sends to the calling thread: its regions. A unit that fails records its error on
// the stage instead.
struct UnitMessage {
    uint64_t index;
    UnitRegions regions;
};

// What the units of one analysis share between their threads.
struct AnalysisUnitState {
    const AnalysisPlan& plan;
    base::WindowedDispenser& dispenser;
    base::ParallelStage<base::IoError>& stage;
};

std::expected<UnitRegions, base::IoError> compare_unit(const AnalysisPlan& plan, uint64_t first, size_t len) {
    auto actual = base::PageBuffer::allocate(len);
    if (!actual) return std::unexpected(std::move(actual.error()));
    auto got = plan.file.read(actual->span(), first);
    if (!got) return std::unexpected(std::move(got.error()));
    const size_t read = *got;  // fewer only when the file ended early
    auto expected = base::PageBuffer::allocate(read);
    if (!expected) return std::unexpected(std::move(expected.error()));
    const format::Header& header = plan.file.header();
    format::ContentReader::at_offset(header.seed(), first - HEADER_LEN, header.version())
        .fill(expected->span());

    UnitRegions found;
    compare_chunks(actual->span().first(read), expected->span(), first, plan.chunk_size, found.regions);
    if (read < len) found.ended_at = first + read;
    return found;
}

// The regions of claimed unit `index`; nothing when it failed (its error is recorded on the
// stage) or gave up.
std::optional<UnitRegions> analyze_unit(const AnalysisUnitState& state, uint64_t index) {
    const AnalysisPlan& plan = state.plan;
    MemoryBudget& budget = plan.file.run().memory;
    const uint64_t unit_start = base::saturating_mul(index, plan.units.unit_size);
    const uint64_t first = std::max<uint64_t>(HEADER_LEN, unit_start);
    const uint64_t last = std::min(plan.end, base::saturating_add(unit_start, plan.units.unit_size));
    const auto len = static_cast<size_t>(last - first);
    const uint64_t need = 2 * uint64_t{len};
    if (!budget.reserve(need, state.stage.stop_token())) {
        // Only a unit past a failure gives up: one below it still runs, so that the lowest
        // failing unit is found whatever the number of workers. Nobody holding memory waits.
        if (state.stage.fails_at_or_below(index)) return std::nullopt;
        budget.reserve(need);
    }
    const Reservation reservation(budget, need, state.stage.hooks());
    std::expected<UnitRegions, base::IoError> found;
    if (auto injected = state.stage.before_item(index)) {
        found = std::unexpected(std::move(*injected));
    } else {
        try {
            found = compare_unit(plan, first, len);
        } catch (const std::bad_alloc&) {
            found = std::unexpected(base::IoError::out_of_memory());
        }
    }
    if (!found) {
        state.stage.fail(index, std::move(found.error()));
        return std::nullopt;
    }
    return std::move(*found);
}

void analysis_worker(const AnalysisUnitState& state, base::Sender<UnitMessage>& tx) {
    while (auto index = state.dispenser.claim(state.stage.stop_token())) {
        auto found = analyze_unit(state, *index);
        if (!found || !tx.send(UnitMessage{*index, std::move(*found)})) return;
    }
}

// The calling thread's merge of unit results: the regions of the units in unit order.
class UnitCollector {
  public:
    void collect(UnitMessage message) {
        units_.put(message.index, std::move(message.regions),
                   [this](uint64_t, UnitRegions found) { merge(std::move(found)); });
    }
    // The next unit to merge: every unit below it is merged.
    uint64_t next() const { return units_.next(); }
    RegionList take_regions() { return std::move(regions_); }
    std::optional<uint64_t> ended_at() const { return ended_at_; }

  private:
    void merge(UnitRegions found) {
        if (ended_at_) return;
        // The unit's regions move over whole; one that runs across the unit boundary merges here.
        push_regions(regions_, std::move(found.regions));
        ended_at_ = found.ended_at;
    }

    base::OrderedCollector<UnitRegions> units_;
    RegionList regions_;
    // Where the file ended early, seen in unit order: nothing after it counts.
    std::optional<uint64_t> ended_at_;
};

// The calling thread analyses units too, but takes results first, so that the window moves.
void analyse_and_collect(const AnalysisUnitState& state, base::Receiver<UnitMessage>& rx,
                         UnitCollector& collector) {
    const auto take = [&](UnitMessage message) {
        collector.collect(std::move(message));
        state.dispenser.release_through(collector.next());
    };
    while (true) {
        if (auto message = rx.try_recv()) {
            take(std::move(*message));
            continue;
        }
        const auto claim = state.dispenser.try_claim(state.stage.stop_token());
        if (claim.state == base::WindowedDispenser::Claim::Done) break;
        if (claim.state == base::WindowedDispenser::Claim::Wait) {
            // Every unit of the window is under way: its message comes, or its worker ends (a
            // failure or a fault cancels the stage, and the others end too).
            auto message = rx.recv();
            if (!message) break;
            take(std::move(*message));
            continue;
        }
        auto found = analyze_unit(state, claim.index);
        if (!found) break;
        take(UnitMessage{claim.index, std::move(*found)});
    }
    while (auto message = rx.recv()) take(std::move(*message));
}

void run_analysis_workers(const AnalysisUnitState& state, UnitCollector& collector) {
    const uint64_t workers = state.plan.units.workers;
    auto [tx, rx] = base::bounded_channel<UnitMessage>(static_cast<size_t>(base::saturating_mul(4, workers)));
    state.stage.run(
        static_cast<size_t>(workers - 1),
        [&state, tx = std::move(tx)](size_t) mutable { analysis_worker(state, tx); },
        [&state, &collector, rx = std::move(rx)](size_t) mutable {
            analyse_and_collect(state, rx, collector);
        });
}

// The analysis on up to the reader's lanes, the calling thread included.
std::expected<RegionList, base::IoError> analyze_parallel(const DataFileReader& file) {
    const uint64_t declared_len = file.header().file_length();
    const uint64_t end = std::min(declared_len, file.actual_len());
    try {
        RegionList regions;
        uint64_t read_end = end;
        if (end > HEADER_LEN) {
            const uint64_t chunk_size = file.run().options.chunk_size;
            const AnalysisPlan plan{file, end, chunk_size,
                                    plan_analysis_units(end, chunk_size, file.lanes())};
            base::WindowedDispenser dispenser(plan.units.unit_count,
                                              base::saturating_mul(4, plan.units.workers));
            base::ParallelStage<base::IoError> stage(file.hooks(), ANALYSIS_UNIT);
            const AnalysisUnitState state{plan, dispenser, stage};
            UnitCollector collector;
            run_analysis_workers(state, collector);
            if (auto error = stage.take_error()) return std::unexpected(std::move(*error));
            regions = collector.take_regions();
            read_end = collector.ended_at().value_or(end);
        }
        push_tail_region(regions, declared_len, file.actual_len(), read_end);
        return regions;
    } catch (const std::bad_alloc&) {
        // Also one that a worker met and the scope carried here.
        return std::unexpected(base::IoError::out_of_memory());
    }
}

}  // namespace

AnalysisUnits plan_analysis_units(uint64_t end, uint64_t chunk_size, uint64_t lanes) {
    if (chunk_size > MAX_CHUNK_SIZE) base::panic("analysis chunks are clamped to 64 MiB");
    const uint64_t per_unit =
        std::max<uint64_t>(chunk_size <= ANALYSIS_UNIT_TARGET ? ANALYSIS_UNIT_TARGET / chunk_size : 0, 1);
    const uint64_t unit_size = chunk_size * per_unit;
    const uint64_t unit_count = end / unit_size + (end % unit_size != 0 ? 1 : 0);
    const uint64_t memory_workers = std::max<uint64_t>(ANALYSIS_MEMORY_LIMIT / (2 * unit_size), 1);
    return AnalysisUnits{unit_size, unit_count, std::min({memory_workers, lanes, unit_count})};
}

std::expected<RegionList, base::IoError> analyze_corruption(const DataFileReader& file) {
    if (file.lanes() >= 2) return analyze_parallel(file);
    return analyze_sequential(file);
}

}  // namespace kro::verify
