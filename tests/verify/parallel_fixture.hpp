#pragma once
// Helpers of the parallel verification tests: hooks that inject faults and read errors into one
// item of a stage, count thread starts and reservations, or make a file shrink while it is read;
// waits that never hang a test, and a fingerprint of every field of a report that two runs must
// agree on byte for byte.

#include <fcntl.h>
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "base/errors/io_error.hpp"
#include "base/errors/panic.hpp"
#include "base/fd.hpp"
#include "base/hooks.hpp"
#include "verify/file_list.hpp"
#include "verify/stage_names.hpp"
#include "verify/verify_report.hpp"
#include "verify_fixture.hpp"

namespace kro::parallel_testing {

inline constexpr uint64_t MiB = 1048576;

inline base::UniqueFd open_read(const std::filesystem::path& path) {
    return base::UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
}

// Waits until `flag` is set, for at most a few seconds, so that a broken test fails instead of
// hanging.
inline bool wait_for(const std::atomic<bool>& flag) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!flag.load()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Positional reads as they go when the file shrinks to `length` bytes after its metadata was
// taken: nothing at or past that length. The first `unchanged_reads` reads still see the whole
// file, as when it shrinks only after they were made.
struct ShrinkingTo : base::Hooks {
    explicit ShrinkingTo(uint64_t length, uint64_t unchanged_reads = 0)
        : length(length), unchanged_reads(unchanged_reads) {}
    ssize_t pread(int fd, void* buf, size_t count, uint64_t offset) const override {
        if (reads.fetch_add(1) < unchanged_reads) return ::pread(fd, buf, count, static_cast<off_t>(offset));
        if (offset >= length) return 0;
        return ::pread(fd, buf, static_cast<size_t>(std::min<uint64_t>(count, length - offset)),
                       static_cast<off_t>(offset));
    }
    uint64_t length;
    uint64_t unchanged_reads;
    mutable std::atomic<uint64_t> reads{0};
};

inline base::IoError injected_error(uint64_t index) {
    return base::IoError::with_message(base::IoErrorKind::Other, fmt::format("injected error at {}", index));
}

// The common fault test: item `slow` of `stage` takes a while and then marks itself done; item
// `faulty` panics. Whoever carries the fault must wait for the slow item first.
struct SlowAndFaulty : base::Hooks {
    SlowAndFaulty(base::StageName stage, uint64_t slow, uint64_t faulty)
        : stage(stage), slow(slow), faulty(faulty) {}
    std::optional<base::IoError> before_item(base::StageName s, uint64_t index) const override {
        if (s != stage) return std::nullopt;
        if (index == slow) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            slow_done = true;
        }
        if (index == faulty) base::panic("injected fault");
        return std::nullopt;
    }
    base::StageName stage;
    uint64_t slow;
    uint64_t faulty;
    mutable std::atomic<bool> slow_done{false};
};

// Expects `run` to raise the injected Panic.
template <typename F>
void expect_injected_fault(F&& run) {
    try {
        run();
        ADD_FAILURE() << "no fault was raised";
    } catch (const base::Panic& panic) {
        EXPECT_EQ(panic.message(), "injected fault");
    }
}

// Counts the thread starts of a stage and refuses those from `fail_from` on.
struct SpawnCounter : base::Hooks {
    explicit SpawnCounter(base::StageName stage, size_t fail_from = SIZE_MAX)
        : stage(stage), fail_from(fail_from) {}
    bool refuse_spawn(base::StageName s, size_t index) const override {
        if (s != stage) return false;
        ++attempts;
        return index >= fail_from;
    }
    base::StageName stage;
    size_t fail_from;
    mutable std::atomic<size_t> attempts{0};
};

// Items `low` and `high` of `stage` fail with their own errors; `high` waits until `low` has
// been reached, so both fail whatever the thread timing, and the lower one must win.
struct TwoErrors : base::Hooks {
    TwoErrors(base::StageName stage, uint64_t low, uint64_t high) : stage(stage), low(low), high(high) {}
    std::optional<base::IoError> before_item(base::StageName s, uint64_t index) const override {
        if (s != stage) return std::nullopt;
        if (index == low) {
            low_reached = true;
            return injected_error(index);
        }
        if (index == high) {
            EXPECT_TRUE(wait_for(low_reached));
            return injected_error(index);
        }
        return std::nullopt;
    }
    base::StageName stage;
    uint64_t low;
    uint64_t high;
    mutable std::atomic<bool> low_reached{false};
};

// Item `faulty` panics once item `failing` has failed with an error: both happen, and the
// fault must win.
struct FaultAfterError : base::Hooks {
    FaultAfterError(base::StageName stage, uint64_t faulty, uint64_t failing)
        : stage(stage), faulty(faulty), failing(failing) {}
    std::optional<base::IoError> before_item(base::StageName s, uint64_t index) const override {
        if (s != stage) return std::nullopt;
        if (index == failing) {
            failed = true;
            return injected_error(index);
        }
        if (index == faulty) {
            EXPECT_TRUE(wait_for(failed));
            base::panic("injected fault");
        }
        return std::nullopt;
    }
    base::StageName stage;
    uint64_t faulty;
    uint64_t failing;
    mutable std::atomic<bool> failed{false};
};

// Counts the analysis memory granted at once, through the reservation hook.
struct ReservationCounter : base::Hooks {
    void on_reservation(int64_t bytes) const override {
        if (bytes > 0) ++grants;
        const int64_t held = now += bytes;
        int64_t seen = peak.load();
        while (held > seen && !peak.compare_exchange_weak(seen, held)) {
        }
    }
    mutable std::atomic<int64_t> now{0};
    mutable std::atomic<int64_t> peak{0};
    mutable std::atomic<uint64_t> grants{0};
};

inline std::vector<std::string> regions_text(const std::vector<verify::CorruptRegion>& regions) {
    std::vector<std::string> out;
    for (const auto& region : regions) out.push_back(verify_testing::describe(region));
    return out;
}

// Every field of an issue that a report shows, as text.
inline std::string issue_text(const verify::Issue& issue) {
    using I = verify::Issue;
    const auto& v = issue.value;
    std::string text = fmt::format("{}:", issue.index());
    if (const auto* i = std::get_if<I::InvalidPathLayout>(&v)) return text + i->path.native();
    if (const auto* i = std::get_if<I::HeaderCorrupted>(&v)) {
        return text + fmt::format("{} {} {}", i->path.native(), i->error.kind().index(), i->error.message());
    }
    if (const auto* i = std::get_if<I::FileSizeMismatch>(&v)) {
        return text + fmt::format("{} {} {}", i->path.native(), i->expected, i->actual);
    }
    if (const auto* i = std::get_if<I::ContentCorrupted>(&v)) {
        const auto& r = i->report;
        std::string regions;
        for (const auto& region : r.regions) regions += " " + verify_testing::describe(region);
        return text + fmt::format("{} {} {} {} {} {} {}{}", r.path.native(), r.actual_len, r.expected_len,
                                  r.seed, r.expected_id, r.actual_id, r.version == format::FormatVersion::V3,
                                  regions);
    }
    if (const auto* i = std::get_if<I::ParentHashNotFound>(&v)) {
        return text + fmt::format("{} {} {}", i->path.native(), i->parent_path.native(), i->parent);
    }
    if (const auto* i = std::get_if<I::ChainTipNotFound>(&v)) {
        return text + fmt::format("{} {} {}", i->marker_path.native(), i->data_path.native(), i->id);
    }
    if (const auto* i = std::get_if<I::ChainFormatMismatch>(&v)) {
        return text + fmt::format("{} {} {} {} {}", i->path.native(), i->parent_path.native(), i->parent,
                                  i->child_version, i->parent_version);
    }
    if (const auto* i = std::get_if<I::FileNotReferenced>(&v)) return text + i->path.native();
    const auto& i = std::get<I::RootHashInvalid>(v);
    return text + fmt::format("{} {} {}", i.path.native(), std::string(i.contents.begin(), i.contents.end()),
                              fmt::join(i.digest, ","));
}

inline std::vector<std::string> issues_text(const std::vector<verify::Issue>& issues) {
    std::vector<std::string> out;
    for (const auto& issue : issues) out.push_back(issue_text(issue));
    return out;
}

// Report i is that of file i of `files`.
inline std::vector<std::string> reports_text(const verify::FileList& files,
                                             const std::vector<verify::FileReport>& reports) {
    std::vector<std::string> out;
    for (size_t i = 0; i < reports.size(); ++i) {
        const verify::FileReport& report = reports[i];
        out.push_back(fmt::format("{} {} {} {} {}", i < files.size() ? files.native(i) : "?",
                                  report.file_id ? report.file_id->to_hex() : "-", report.at_canonical_path,
                                  report.parent ? report.parent->to_hex() : "-",
                                  report.version ? std::string(format::to_string(*report.version)) : "-"));
        for (const auto& issue : report.issues) out.push_back("  " + issue_text(issue));
    }
    return out;
}

}  // namespace kro::parallel_testing
