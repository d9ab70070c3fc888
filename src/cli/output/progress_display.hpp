#pragma once
// The one-line progress display of `gen` and `verify` on standard error: a spinner, the
// command's label, a 16-cell bar, the percentage and counters for bytes, files, rate and
// remaining time. The generator or verifier hands it snapshots through a ProgressObserver from
// any thread; it keeps the latest and redraws at most once every 80 ms. When the command ends,
// `finish` draws the final line (a green check mark or a red cross) and ends it, or `clear`
// erases it before an error is printed. It draws only when standard error is a terminal and
// TERM is not "dumb"; otherwise every operation does nothing.
//
// ProgressDisplay is a shared handle: copies refer to the same display. All operations are
// thread-safe; the display's own mutex serialises updates against finish and clear.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "store/progress.hpp"

namespace kro::cli {

inline constexpr std::chrono::milliseconds PROGRESS_REDRAW_INTERVAL{80};
inline constexpr int PROGRESS_BAR_CELLS = 16;

// Selects the fraction rule: generation shows the further of bytes and files, verification
// the bytes and never 100% while a file is outstanding.
enum class ProgressMode { Generate, Verify };

// Where a display draws and how it reads the time; the real one is standard error and the
// monotonic clock.
struct ProgressTerminal {
    bool enabled = false;
    bool color = false;
    std::function<void(std::string_view)> write;
    std::function<std::chrono::steady_clock::time_point()> now;
};

class ProgressDisplay {
  public:
    // On standard error: enabled when it is a terminal and TERM is not "dumb".
    static ProgressDisplay create(std::string_view label, ProgressMode mode);
    ProgressDisplay(std::string_view label, ProgressMode mode, ProgressTerminal terminal);

    bool enabled() const;
    // Keeps the snapshot; redraws unless the last draw is less than 80 ms old.
    void update(const store::ProgressSnapshot& snapshot) const;
    // The final line and a newline; nothing when no snapshot ever arrived.
    void finish(bool success) const;
    // Erases a drawn line.
    void clear() const;
    // An observer holding a second reference to this display, passing every snapshot on.
    store::ProgressObserver observer() const;

  private:
    struct State;
    std::shared_ptr<State> state_;
};

// What the line shows at one moment; `final_success` is set for the final line.
struct ProgressFrame {
    std::string_view label;
    ProgressMode mode = ProgressMode::Generate;
    store::ProgressSnapshot snapshot;
    std::chrono::nanoseconds elapsed{0};
    std::optional<bool> final_success;
    bool color = false;
};

// The complete bytes written for one frame, escape sequences included, without a newline.
std::string render_progress_line(const ProgressFrame& frame);

// The share of the work done, in [0, 1], by the rule of `mode`.
double progress_fraction(const store::ProgressSnapshot& snapshot, ProgressMode mode);

// 16 cells: filled "━", one tip "╺", empty "─".
std::string render_bar(double fraction);
// Powers of 1024, truncated: "1023 B", "1.04 KiB", "10.0 KiB", "1023 KiB", "5.00 TiB".
std::string format_bytes(uint64_t n);
// "<1s", "5s", "1m 05s", "2h 02m".
std::string format_duration(uint64_t seconds);

}  // namespace kro::cli
