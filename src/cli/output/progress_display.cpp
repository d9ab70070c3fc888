#include "cli/output/progress_display.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <vector>

#include "cli/output/color.hpp"
#include "cli/output/number_format.hpp"
#include "cli/output/stream_writer.hpp"

namespace kro::cli {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::array<std::string_view, 10> SPINNER = {"⠋", "⠙", "⠹", "⠸", "⠼", "⠴", "⠦", "⠧", "⠇", "⠏"};
constexpr uint64_t NANOS_PER_SECOND = 1'000'000'000;
constexpr std::chrono::nanoseconds TENTH_OF_A_SECOND{100'000'000};

uint64_t saturate(u128 value) {
    constexpr uint64_t max = std::numeric_limits<uint64_t>::max();
    return value > max ? max : static_cast<uint64_t>(value);
}

void write_stderr(std::string_view text) {
    write_best_effort(STDERR_FILENO, text);
}

bool stderr_draws() {
    if (::isatty(STDERR_FILENO) != 1) return false;
    const char* term = std::getenv("TERM");
    return term == nullptr || std::string_view(term) != "dumb";
}

// Whole seconds of the estimate elapsed × (1 − f) / f, rounded to the nanosecond first;
// an estimate beyond the 64-bit nanosecond range shows as the largest one.
uint64_t eta_seconds(std::chrono::nanoseconds elapsed, double fraction) {
    const double elapsed_seconds =
        static_cast<double>(elapsed.count()) / static_cast<double>(NANOS_PER_SECOND);
    const double nanos =
        std::round(elapsed_seconds * (1.0 - fraction) / fraction * static_cast<double>(NANOS_PER_SECOND));
    if (!(nanos < 18446744073709551616.0)) return std::numeric_limits<uint64_t>::max() / NANOS_PER_SECOND;
    return static_cast<uint64_t>(nanos) / NANOS_PER_SECOND;
}

}  // namespace

struct ProgressDisplay::State {
    std::string label;
    ProgressMode mode;
    ProgressTerminal terminal;
    Clock::time_point start;
    std::mutex mutex;
    std::optional<Clock::time_point> last_draw;
    bool line_drawn = false;
    std::optional<store::ProgressSnapshot> snapshot;

    // With the mutex held.
    void draw(Clock::time_point now, std::optional<bool> final_success) {
        if (!snapshot) return;
        const ProgressFrame frame{label,         mode,
                                  *snapshot,     std::max(now - start, Clock::duration::zero()),
                                  final_success, terminal.color};
        terminal.write(render_progress_line(frame));
        last_draw = now;
        line_drawn = true;
    }
};

ProgressDisplay ProgressDisplay::create(std::string_view label, ProgressMode mode) {
    const bool enabled = stderr_draws();
    return ProgressDisplay(
        label, mode,
        ProgressTerminal{enabled, enabled && color_for_stream(STDERR_FILENO), write_stderr, Clock::now});
}

ProgressDisplay::ProgressDisplay(std::string_view label, ProgressMode mode, ProgressTerminal terminal)
    : state_(std::make_shared<State>()) {
    state_->label = std::string(label);
    state_->mode = mode;
    state_->start = terminal.now();
    state_->terminal = std::move(terminal);
}

bool ProgressDisplay::enabled() const {
    return state_->terminal.enabled;
}

void ProgressDisplay::update(const store::ProgressSnapshot& snapshot) const {
    State& state = *state_;
    if (!state.terminal.enabled) return;
    const Clock::time_point now = state.terminal.now();
    const std::lock_guard lock(state.mutex);
    state.snapshot = snapshot;
    if (state.last_draw &&
        std::max(now - *state.last_draw, Clock::duration::zero()) < PROGRESS_REDRAW_INTERVAL)
        return;
    state.draw(now, std::nullopt);
}

void ProgressDisplay::finish(bool success) const {
    State& state = *state_;
    if (!state.terminal.enabled) return;
    const Clock::time_point now = state.terminal.now();
    const std::lock_guard lock(state.mutex);
    if (!state.snapshot) return;
    state.draw(now, success);
    state.terminal.write("\n");
    state.line_drawn = false;
}

void ProgressDisplay::clear() const {
    State& state = *state_;
    if (!state.terminal.enabled) return;
    const std::lock_guard lock(state.mutex);
    if (!state.line_drawn) return;
    state.terminal.write("\r\x1b[2K");
    state.line_drawn = false;
}

store::ProgressObserver ProgressDisplay::observer() const {
    return store::make_progress_observer(
        [display = *this](const store::ProgressSnapshot& snapshot) { display.update(snapshot); });
}

double progress_fraction(const store::ProgressSnapshot& snapshot, ProgressMode mode) {
    const auto ratio = [](uint64_t done, std::optional<uint64_t> total) -> std::optional<double> {
        if (!total) return std::nullopt;
        if (*total == 0) return 1.0;
        return static_cast<double>(done) / static_cast<double>(*total);
    };
    const std::optional<double> bytes = ratio(snapshot.bytes_done, snapshot.bytes_total);
    const std::optional<double> files = ratio(snapshot.files_done, snapshot.files_total);
    double fraction = 0.0;
    if (mode == ProgressMode::Generate) {
        if (bytes && files) {
            fraction = std::max(*bytes, *files);
        } else {
            fraction = bytes.value_or(files.value_or(0.0));
        }
    } else {
        fraction = bytes.value_or(files.value_or(0.0));
        // The line must not reach 100% while a file is still being checked.
        if (files && *files < 1.0) fraction = std::min(fraction, 0.99);
    }
    return std::clamp(fraction, 0.0, 1.0);
}

std::string render_progress_line(const ProgressFrame& frame) {
    const store::ProgressSnapshot& s = frame.snapshot;
    const bool final = frame.final_success.has_value();
    const double fraction = final ? 1.0 : progress_fraction(s, frame.mode);
    const auto percent = final ? 100 : static_cast<int>(std::floor(fraction * 100.0));

    std::string mark;
    std::string bar;
    if (final) {
        const std::string_view code = *frame.final_success ? sgr::GREEN : sgr::RED;
        mark = paint_str(frame.color, code, *frame.final_success ? "✓" : "✗");
        bar = paint_string(frame.color, code, render_bar(1.0));
    } else {
        const auto frames =
            static_cast<uint64_t>(
                std::chrono::duration_cast<std::chrono::milliseconds>(frame.elapsed).count()) /
            static_cast<uint64_t>(PROGRESS_REDRAW_INTERVAL.count());
        mark = paint_str(frame.color, sgr::CYAN, SPINNER[frames % SPINNER.size()]);
        bar = paint_string(frame.color, sgr::CYAN, render_bar(fraction));
    }

    std::vector<std::string> segments;
    segments.push_back(s.bytes_total
                           ? fmt::format("{} / {}", format_bytes(s.bytes_done), format_bytes(*s.bytes_total))
                           : fmt::format("{} processed", format_bytes(s.bytes_done)));
    segments.push_back(s.files_total ? fmt::format("{} / {} files", s.files_done, *s.files_total)
                                     : fmt::format("{} files", s.files_done));
    const bool timed = frame.elapsed >= TENTH_OF_A_SECOND;
    if (timed && s.bytes_done != 0) {
        const u128 rate =
            static_cast<u128>(s.bytes_done) * NANOS_PER_SECOND / static_cast<u128>(frame.elapsed.count());
        segments.push_back(fmt::format("{}/s", format_bytes(saturate(rate))));
    }
    const auto elapsed_seconds = static_cast<uint64_t>(frame.elapsed.count()) / NANOS_PER_SECOND;
    if (final) {
        segments.push_back(format_duration(elapsed_seconds));
    } else if (timed && fraction > 0.0 && fraction < 1.0) {
        segments.push_back("ETA " + format_duration(eta_seconds(frame.elapsed, fraction)));
    } else {
        segments.push_back("ETA —");
    }

    return fmt::format("\x1b[?7l\r\x1b[2K{} {:<8} {} {:>3}%  {}\x1b[?7h", mark, frame.label, bar, percent,
                       fmt::join(segments, "  "));
}

std::string render_bar(double fraction) {
    const double cells = std::floor(fraction * PROGRESS_BAR_CELLS);
    const int n = cells > 0 ? static_cast<int>(std::min<double>(cells, PROGRESS_BAR_CELLS)) : 0;
    std::string bar;
    const auto repeat = [&](std::string_view cell, int count) {
        for (int i = 0; i < count; ++i) bar += cell;
    };
    if (n == 0) {
        repeat("─", PROGRESS_BAR_CELLS);
    } else if (n == PROGRESS_BAR_CELLS) {
        repeat("━", PROGRESS_BAR_CELLS);
    } else {
        repeat("━", n - 1);
        bar += "╺";
        repeat("─", PROGRESS_BAR_CELLS - n);
    }
    return bar;
}

std::string format_bytes(uint64_t n) {
    if (n < 1024) return fmt::format("{} B", n);
    const auto [unit, shift] = n >= (uint64_t{1} << 40)   ? std::pair{"TiB", 40}
                               : n >= (uint64_t{1} << 30) ? std::pair{"GiB", 30}
                               : n >= (uint64_t{1} << 20) ? std::pair{"MiB", 20}
                                                          : std::pair{"KiB", 10};
    const uint64_t whole = n >> shift;
    if (whole < 10)
        return fmt::format("{}.{:02} {}", whole, static_cast<uint64_t>((u128{n} * 100 >> shift) % 100), unit);
    if (whole < 100)
        return fmt::format("{}.{} {}", whole, static_cast<uint64_t>((u128{n} * 10 >> shift) % 10), unit);
    return fmt::format("{} {}", whole, unit);
}

std::string format_duration(uint64_t seconds) {
    if (seconds == 0) return "<1s";
    if (seconds < 60) return fmt::format("{}s", seconds);
    if (seconds < 3600) return fmt::format("{}m {:02}s", seconds / 60, seconds % 60);
    return fmt::format("{}h {:02}m", seconds / 3600, (seconds / 60) % 60);
}

}  // namespace kro::cli
