#include <fmt/format.h>

#include <algorithm>
#include <expected>
#include <filesystem>
#include <memory>
#include <new>
#include <string>

#include "base/errors/error.hpp"
#include "base/errors/io_error.hpp"
#include "base/fs/temp_file_registry.hpp"
#include "cli/args/command_line.hpp"
#include "cli/command_error.hpp"
#include "cli/commands.hpp"
#include "cli/output/progress_display.hpp"
#include "cli/output/stream_writer.hpp"
#include "cli/signal_cleanup.hpp"
#include "gen/generate.hpp"

namespace kro::cli {
namespace {

// The file limit when neither --max-files nor --max-disk-usage is given.
constexpr uint64_t DEFAULT_MAX_FILES = 100;

// --max-files (a negative count is 0), or the default when no limit is given at all.
std::optional<uint64_t> file_limit(const GenArgs& args) {
    if (args.max_files) return static_cast<uint64_t>(std::max<int64_t>(*args.max_files, 0));
    if (!args.max_disk_usage) return DEFAULT_MAX_FILES;
    return std::nullopt;
}

// Seeded sizes come from the master seed; otherwise the sampler draws its key from the system.
std::expected<gen::SizeSampler, CommandError> size_sampler_for(const GenArgs& args) {
    if (args.seed) return gen::SizeSampler::from_seed(args.file_size, *args.seed);
    auto sampler = gen::SizeSampler::from_entropy(args.file_size);
    if (!sampler)
        return std::unexpected(
            CommandError::with_cause("seeding the file size sampler", std::move(sampler.error())));
    return std::move(*sampler);
}

// One generation run as the arguments describe it; the error is the whole chain, as printed.
std::expected<void, std::string> generate_store(GenArgs args, const ProgressDisplay& display) {
    auto root = store_directory(args.directory);
    if (!root) return std::unexpected(base::error_chain(root.error()));
    auto sampler = size_sampler_for(args);
    if (!sampler) return std::unexpected(base::error_chain(sampler.error()));
    gen::GenerateOptions options{
        .root = std::move(*root),
        .max_files = file_limit(args),
        .max_disk_usage = args.max_disk_usage,
        .sampler = std::move(*sampler),
        // A second reference to the display, which passes every snapshot on.
        .observer = display.enabled() ? display.observer() : nullptr,
        .jobs = args.jobs,
        .version = args.format,
        .master_seed = args.seed,
        .temp_files = std::make_shared<base::TempFileRegistry>(),
    };
    const SignalCleanup cleanup(options.temp_files);
    auto summary = gen::generate(std::move(options));
    if (!summary) return std::unexpected(base::error_chain(summary.error()));
    return {};
}

// Every step of a run reports memory that runs out as its own failure; this catches what runs
// out between the steps, so that no allocation failure ends the process unannounced.
std::expected<void, std::string> generate_store_or_out_of_memory(GenArgs args,
                                                                 const ProgressDisplay& display) {
    try {
        return generate_store(std::move(args), display);
    } catch (const std::bad_alloc&) {
        return std::unexpected(std::string("out of memory"));
    }
}

}  // namespace

uint8_t run_gen(GenArgs args) {
    if (args.seed && args.format == format::FormatVersion::V2) {
        return report_usage_error(UsageError::argument_conflict("--seed requires --format v3", {"gen"}));
    }
    const ProgressDisplay display = ProgressDisplay::create("Generate", ProgressMode::Generate);
    auto outcome = generate_store_or_out_of_memory(std::move(args), display);
    if (!outcome) {
        display.clear();
        StreamWriter err = StreamWriter::standard_error();
        err.write(fmt::format("error: {}\n", outcome.error()));
        err.flush();
        return 1;
    }
    display.finish(true);
    return 0;
}

}  // namespace kro::cli
